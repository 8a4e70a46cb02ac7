// Who may drive the daemon over the bus, tried the way an unprivileged local
// user would: the simulator run as uid 65534 through setpriv. On a bus with
// the machine's system bus policy and the shipped policy file the bus turns
// every attempt away; on the permissive test bus the daemon's own check does.
// Either way nothing the user sends changes the table, reaches the cloud or
// the LAN host daemon, or makes a capture redirect in real iptables (the
// daemon runs in a network namespace), while root's signals and calls work.
#include "capture/netns.h"
#include "fixture/cloud_server.h"
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr uint32_t kNobody = 65534;
const std::string kDeskMac = test_mac(3), kEvilMac = test_mac(0x66), kForgedMac = test_mac(0x67),
                  kGoodMac = test_mac(0x11);

std::string hex(const Bytes &bytes)
{
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

// The <policy> blocks of the machine's system bus configuration, in order.
std::string system_policy()
{
    const std::string conf = read_file("/usr/share/dbus-1/system.conf");
    size_t first = conf.find("<policy"), last = conf.rfind("</policy>");
    if (first == std::string::npos || last == std::string::npos)
        return "";
    return conf.substr(first, last + strlen("</policy>") - first);
}

// A dbus-daemon at the test bus address with the system policy, the LAN host
// daemon's right to its name (its own file on a gateway) and the shipped file.
std::unique_ptr<DaemonProcess> start_system_policy_bus(const TempDir &dir)
{
    use_test_bus_address();
    const std::string socket = test_bus_address().substr(strlen("unix:path="));
    mkdir(socket.substr(0, socket.rfind('/')).c_str(), 0755);
    unlink(socket.c_str());
    write_file(dir.path() + "/bus.conf",
               R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
                   socket + "</listen>\n  <auth>EXTERNAL</auth>\n" + system_policy() +
                   R"(
  <policy user="root">
    <allow own="arvex.lanhostd"/>
  </policy>
  <include>)" + std::string(ZELMO_SOURCE_DIR) +
                   "/dist/arvex.kvx.zelmo.conf</include>\n</busconfig>\n");
    auto bus = std::make_unique<DaemonProcess>(
        std::vector<std::string>{"--config-file=" + dir.path() + "/bus.conf", "--nofork", "--nopidfile"},
        std::vector<std::string>{}, "dbus-daemon");
    if (!wait_until([&] { return file_exists(socket) || !bus->running(); }, 10s) || !file_exists(socket))
        throw std::runtime_error("policy bus did not start: " + bus->output());
    return bus;
}

// What the daemon made of uid 65534's attempts, then of root's.
struct Outcome {
    std::string daemon_log;
    std::vector<ToolResult> nobody; // the attempts, in order
};

// The gateway (daemon, LAN host daemon, cloud, iptables) on the bus at the
// test address: uid 65534 tries every way in, then root adds a device and
// makes a call, and everything the daemon did is checked to come from root.
void nobody_then_root(Outcome &outcome)
{
    // The daemon and the cloud in a network namespace with a LAN bridge, so
    // that real iptables runs the capture redirects.
    NetNamespace ns;
    if (!ns.skip_reason().empty())
        GTEST_SKIP() << ns.skip_reason();
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    ASSERT_EQ(ns.exec({"ip", "link", "set", "lo", "up"}), 0);
    GatewayRoot root;
    std::optional<CloudServer> cloud;
    std::optional<DaemonProcess> zelmo;
    RecordingLanHost lanhost;
    root.write_wifi_mode("RGW");
    root.write_device_info("A1B2C3", "XS-010", "SN 0001");
    root.write_db({make_record(kDeskMac, "192.168.77.13", "desk")});
    {
        InNamespace inside(ns);
        ASSERT_TRUE(inside.ok());
        cloud.emplace();
        root.write_http_profile(cloud->url());
        zelmo.emplace(std::vector<std::string>{"-d", "1", "-a", "1"});
    }
    auto diverted = [&](const std::string &mac) {
        for (const std::string &rule : ns.nat_rules("PREROUTING_USERAGENT"))
            if (rule.find(mac) != std::string::npos)
                return true;
        return false;
    };
    BusClient client;
    EXPECT_TRUE(wait_until(
        [&] {
            return client
                .call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "org.freedesktop.DBus.Peer", "Ping", {}, 500ms)
                .ok;
        },
        10s, 100ms))
        << zelmo->output();

    // A copy of the simulator that uid 65534 can run wherever the build lives.
    TempDir bin("zelmo-policy-bin");
    chmod(bin.path().c_str(), 0755);
    const std::string tool = bin.path() + "/gwsim";
    write_file(tool, read_file(gwsim_path()));
    chmod(tool.c_str(), 0755);
    auto run = [&](bool as_nobody, std::vector<std::string> args) {
        args.insert(args.begin(), {tool, "--bus", test_bus_address()});
        if (as_nobody)
            args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(kNobody),
                                       "--regid=" + std::to_string(kNobody), "--clear-groups"});
        ToolResult r = run_tool(args, {}, 15s);
        r.out += r.err;
        return r;
    };

    const Bytes forged =
        to_bytes(make_lanhost_update(make_lanhost(kForgedMac, "192.168.77.67", "forged"), 1));
    const std::vector<std::vector<std::string>> attempts = {
        {"bus", "own", "arvex.kvx.zelmo"},
        {"emit", "lanhost", "--mac", kEvilMac, "--ip", "192.168.77.66", "--name", "evil"},
        // Addressed to the daemon alone, three times from one connection.
        {"emit", "raw", "--interface", "arvex.lanhostd", "--member", "setLanhostEntry", "--hex", hex(forged),
         "--dest", "arvex.kvx.zelmo", "--repeat", "3"},
        {"emit", "session-start"},
        {"emit", "dhcp-opt55", "--mac", kDeskMac, "--opts", "1,3,6"},
        {"emit", "log-destination", "2"},
        {"call", "notifyDeviceAdded", "--hex", hex(to_bytes(std::string("nobody!!"))), "--value", "8"},
    };
    for (const auto &args : attempts)
        outcome.nobody.push_back(run(true, args));
    EXPECT_NE(outcome.nobody[0].status, 0) << outcome.nobody[0].out;

    // Root: a new device, which the daemon stores, reports to the LAN host
    // daemon and diverts a second later, and a call it forwards.
    ToolResult r =
        run(false, {"emit", "lanhost", "--mac", kGoodMac, "--ip", "192.168.77.17", "--name", "good"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = run(false, {"call", "notifyDeviceCategoryInfo", "--hex", hex(to_bytes(std::string("root-ok!"))),
                    "--value", "8"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(wait_until([&] { return diverted(kGoodMac); }, 10s)) << zelmo->output();
    EXPECT_TRUE(lanhost.wait_for("notifyDeviceCategoryInfo", 1, 5s));

    std::vector<std::string> stored;
    for (const DeviceRecord &r : parse_db(root.read_db()).records)
        stored.push_back(std::string(r.lanHostEntry.MACAddress) + " " + r.Option55);
    EXPECT_EQ(stored, (std::vector<std::string>{kDeskMac + " ", kGoodMac + " "}));
    EXPECT_FALSE(diverted(kEvilMac));
    EXPECT_FALSE(diverted(kForgedMac));
    EXPECT_FALSE(diverted(kDeskMac));
    for (const BusMessage &call : lanhost.calls()) {
        const Bytes &b = call.bytes();
        std::string text(b.begin(), b.end());
        EXPECT_EQ(text.find("nobody!!"), std::string::npos) << call.member;
        EXPECT_EQ(text.find(kEvilMac), std::string::npos) << call.member;
        EXPECT_EQ(text.find(kForgedMac), std::string::npos) << call.member;
    }
    // No session was opened: nothing carried the table's old device.
    EXPECT_TRUE(cloud->wait_requests(1, 5000)); // root's device
    for (const RecordedRequest &request : cloud->requests())
        for (const RecordedPart &part : request.parts) {
            EXPECT_EQ(part.data.find(kDeskMac), std::string::npos) << part.data;
            EXPECT_EQ(part.data.find(kEvilMac), std::string::npos) << part.data;
        }
    outcome.daemon_log = zelmo->output();
    EXPECT_TRUE(zelmo->running());
}

bool can_run_as_nobody()
{
    return geteuid() == 0 &&
           run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "true"}).exit_code ==
               0;
}

TEST(DaemonBusTrust, OnTheSystemPolicyOnlyRootReachesTheDaemon)
{
    if (!can_run_as_nobody())
        GTEST_SKIP() << "needs root and setpriv";
    TempDir dir("zelmo-policy-bus");
    auto bus = start_system_policy_bus(dir);
    Outcome o;
    nobody_then_root(o);
    if (IsSkipped())
        return;
    ASSERT_EQ(o.nobody.size(), 7u);
    // The bus refused everything: the daemon had nothing to drop.
    EXPECT_EQ(count_of(o.daemon_log, "from bus sender"), 0u) << o.daemon_log;
    EXPECT_NE(o.nobody[0].out.find("denied arvex.kvx.zelmo: org.freedesktop.DBus.Error.AccessDenied"),
              std::string::npos)
        << o.nobody[0].out;
    EXPECT_NE(o.nobody[6].out.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos)
        << o.nobody[6].out;
}

TEST(DaemonBusTrust, OnAPermissiveBusTheDaemonDropsAllButRoot)
{
    if (!can_run_as_nobody())
        GTEST_SKIP() << "needs root and setpriv";
    PrivateBus bus;
    Outcome o;
    nobody_then_root(o);
    if (IsSkipped())
        return;
    ASSERT_EQ(o.nobody.size(), 7u);
    // One line for each of the six sending connections, whatever each sent.
    const std::string &log = o.daemon_log;
    EXPECT_EQ(count_of(log, "from bus sender"), 6u) << log;
    EXPECT_EQ(count_of(log, "(uid 65534): only uid 0 and uid 0 may drive the daemon"), 6u) << log;
    EXPECT_EQ(count_of(log, "dropped signal arvex.lanhostd.setLanhostEntry from"), 2u) << log;
    EXPECT_EQ(count_of(log, "dropped signal arvex.cfgmgr.notifySessionStart from"), 1u) << log;
    EXPECT_EQ(count_of(log, "dropped signal arvex.dhcpd.notifyDHCPOpt55 from"), 1u) << log;
    EXPECT_EQ(count_of(log, "dropped signal arvex.log.config.setLogDestination from"), 1u) << log;
    EXPECT_EQ(count_of(log, "dropped method call arvex.kvx.zelmo.notifyDeviceAdded from"), 1u) << log;
    EXPECT_NE(o.nobody[6].out.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos)
        << o.nobody[6].out;
}

// The status interface answers root only: on the system policy the bus
// refuses uid 65534, on the permissive bus the daemon does. `zelmo status`
// says so in one line and fails; root's gets the answer.
TEST(DaemonBusTrust, OnlyRootGetsTheStatus)
{
    if (!can_run_as_nobody())
        GTEST_SKIP() << "needs root and setpriv";
    TempDir bin("zelmo-status-bin");
    chmod(bin.path().c_str(), 0755);
    const std::string zelmo = bin.path() + "/zelmo";
    write_file(zelmo, read_file(DaemonProcess::binary()));
    chmod(zelmo.c_str(), 0755);
    const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    for (bool system_policy : {true, false}) {
        SCOPED_TRACE(system_policy ? "system policy bus" : "permissive bus");
        TempDir dir("zelmo-policy-bus");
        std::unique_ptr<DaemonProcess> policy_bus;
        std::optional<PrivateBus> permissive_bus;
        if (system_policy)
            policy_bus = start_system_policy_bus(dir);
        else
            permissive_bus.emplace();
        GatewayRoot root;
        ToolStandIns tools;
        tools.add("iptables");
        root.write_wifi_mode("RGW");
        DaemonProcess daemon({"-d", "1"}, {tools.path_env()});
        BusClient client;
        ASSERT_TRUE(wait_until(
            [&] {
                return client
                    .call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "arvex.kvx.zelmo.Status", "GetStatus")
                    .ok;
            },
            10s, 100ms))
            << daemon.output();

        std::vector<std::string> argv = nobody;
        argv.insert(argv.end(), {zelmo, "status"});
        ToolResult r = run_tool(argv);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "zelmo: status: permission denied: only root may ask the daemon\n");
        argv = nobody;
        argv.insert(argv.end(), {"dbus-send", "--system", "--print-reply", "--dest=arvex.kvx.zelmo",
                                 "/arvex/kvx/zelmo", "arvex.kvx.zelmo.Status.GetDevices"});
        r = run_tool(argv);
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_NE(r.err.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        // Only the daemon's own check leaves a line; the bus's refusal reaches no handler.
        EXPECT_EQ(
            count_of(daemon.output(), "dropped method call arvex.kvx.zelmo.Status.GetStatus from bus sender"),
            system_policy ? 0u : 1u)
            << daemon.output();

        r = run_tool({zelmo, "status", "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(nlohmann::json::parse(r.out)["pid"], daemon.pid()) << r.out;
    }
}

} // namespace
