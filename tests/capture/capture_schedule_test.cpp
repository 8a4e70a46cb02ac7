// The capture schedule of the running daemon inside a private network
// namespace with a LAN bridge: real iptables for the rules' lifecycle, a
// recording stand-in where hostile MAC addresses must never reach a command.
#include "netns.h"

#include "fixture/fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

namespace
{

std::string rule_for(const std::string &mac)
{
    return "-A PREROUTING_USERAGENT -s 192.168.77.0/24 ! -d 192.168.77.1/32 -p tcp -m mac --mac-source " +
           mac + " -m tcp --dport 80 -j DNAT --to-destination 192.168.77.1:8001";
}

bool has_line(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A gateway root in root mode with a private bus and a LAN host daemon.
struct Gateway {
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    Gateway()
    {
        gw.write_device_info("A1B2C3", "XS-010", "SN0001");
        gw.write_wifi_mode("RGW");
    }
    // Starts the daemon inside the namespace (it inherits the calling thread's).
    std::unique_ptr<DaemonProcess> start(const NetNamespace &ns, const std::vector<std::string> &args,
                                         const std::vector<std::string> &env = {})
    {
        InNamespace inside(ns);
        if (!inside.ok())
            return nullptr;
        auto d = std::make_unique<DaemonProcess>(args, env);
        if (!d->wait_for_output("Waiting for msg in main thread", 5000ms))
            ADD_FAILURE() << "daemon not ready: " << d->stderr_text();
        return d;
    }
    std::optional<DeviceRecord> record(const std::string &mac) const
    {
        for (const DeviceRecord &r : parse_db(gw.read_db()).records)
            if (r.lanHostEntry.MACAddress == mac)
                return r;
        return std::nullopt;
    }
};

} // namespace

TEST(CaptureSchedule, RedirectLivesOnlyForItsPeriod)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    Gateway g;
    auto zelmo = g.start(ns, {"-d", "1", "-a", "1", "-r", "2"});
    ASSERT_TRUE(zelmo);
    auto rules = ns.nat_rules();
    EXPECT_TRUE(has_line(rules, "-N PREROUTING_USERAGENT"));
    EXPECT_TRUE(has_line(rules, "-A PREROUTING -j PREROUTING_USERAGENT"));

    // A: no fingerprint, so redirected after the first period. B: fingerprinted
    // before its first expiry, so never redirected.
    const std::string a = test_mac(0xa1), b = test_mac(0xb2);
    ASSERT_TRUE(send_message(
        make_host_update_message(make_lanhost(a, "192.168.77.10", "a"), STATUS_ACTIVE, "Reachable")));
    ASSERT_TRUE(send_message(
        make_host_update_message(make_lanhost(b, "192.168.77.11", "b"), STATUS_ACTIVE, "Reachable")));
    HTTPData agent{};
    field_set(agent.UserAgent, "Agent/1");
    DeviceUpdateMessage fp = make_device_update_message(FP_HTTP, STATUS_ACTIVE, b);
    memcpy(fp.payload.description.raw, &agent, sizeof agent);
    ASSERT_TRUE(send_message(fp));
    ASSERT_TRUE(g.lanhost.wait_for("notifyDeviceInfoUpdate", 1, 5000ms));
    EXPECT_FALSE(has_line(ns.nat_rules("PREROUTING_USERAGENT"), rule_for(a)));

    bool b_seen = false;
    auto watch = [&](const std::function<bool(const std::vector<std::string> &)> &until) {
        return wait_until(
            [&] {
                auto now = ns.nat_rules("PREROUTING_USERAGENT");
                b_seen = b_seen || has_line(now, rule_for(b));
                return until(now);
            },
            6000ms, 50ms);
    };
    ASSERT_TRUE(watch([&](const auto &now) { return has_line(now, rule_for(a)); }));
    rules = ns.nat_rules("PREROUTING_USERAGENT");
    EXPECT_EQ(rules.size(), 2u) << ::testing::PrintToString(rules); // the chain and A's one rule
    EXPECT_EQ(g.record(a)->TimerStage.get(), 2);
    ASSERT_TRUE(watch([&](const auto &now) { return !has_line(now, rule_for(a)); }));
    EXPECT_FALSE(b_seen);
    ASSERT_TRUE(wait_until([&] { return g.record(a)->TimerStage.get() == 3; }, 2000ms));
    EXPECT_EQ(g.record(a)->timer.get(), 0u);
    EXPECT_EQ(g.record(b)->TimerStage.get(), 3);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 1u);

    // An outside flush of PREROUTING: the next device message puts the jump back.
    ASSERT_EQ(ns.exec({"iptables", "-t", "nat", "-F", "PREROUTING"}), 0);
    ASSERT_TRUE(send_message(make_device_update_message(0, STATUS_ACTIVE, a)));
    EXPECT_TRUE(wait_until(
        [&] { return has_line(ns.nat_rules("PREROUTING"), "-A PREROUTING -j PREROUTING_USERAGENT"); },
        5000ms));
}

TEST(CaptureSchedule, RestartLeavesNoRedirect)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    Gateway g;
    auto zelmo = g.start(ns, {"-d", "1", "-a", "1", "-r", "600"});
    ASSERT_TRUE(zelmo);
    const std::string c = test_mac(0xc3);
    ASSERT_TRUE(send_message(
        make_host_update_message(make_lanhost(c, "192.168.77.12", "c"), STATUS_ACTIVE, "Reachable")));
    ASSERT_TRUE(
        wait_until([&] { return has_line(ns.nat_rules("PREROUTING_USERAGENT"), rule_for(c)); }, 5000ms));

    zelmo->kill(SIGKILL);
    ASSERT_TRUE(zelmo->wait_exit(5000ms).ended);
    EXPECT_TRUE(has_line(ns.nat_rules("PREROUTING_USERAGENT"), rule_for(c))); // a crash leaves it behind

    auto again = g.start(ns, {"-d", "1", "-a", "1", "-r", "600"});
    ASSERT_TRUE(again);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT"), std::vector<std::string>{"-N PREROUTING_USERAGENT"});
    auto r = g.record(c);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->timer.get(), 0u);
    EXPECT_EQ(r->TimerStage.get(), 0);
    // The stored device gets no schedule of its own after the restart.
    usleep(1500 * 1000);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 1u);
}

TEST(CaptureSchedule, HostileMacNeverReachesIptables)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    Gateway g;
    ToolStandIns tools;
    tools.add("iptables");
    auto zelmo = g.start(ns, {"-d", "1", "-a", "1", "-r", "1"}, {tools.path_env()});
    ASSERT_TRUE(zelmo);

    const std::vector<std::string> hostile{"00:11:22:33:44:55;reboot", "$(touch /tmp/zelmo-x)",
                                           "00:11:22:33:44:55 -j ACCEPT", "0011.2233.4455",
                                           "aa:bb:cc:dd:ee:ff:00:11:22:33"};
    size_t added = 0;
    for (const std::string &mac : hostile) {
        ASSERT_TRUE(send_message(
            make_host_update_message(make_lanhost(mac, "192.168.77.20", "x"), STATUS_ACTIVE, "Reachable")));
        ASSERT_TRUE(g.lanhost.wait_for("notifyDeviceAdded", ++added, 5000ms));
    }
    MDNSData m{};
    field_set(m.Manufacturer, "Evil");
    DeviceUpdateMessage fp = make_device_update_message(FP_MDNS, STATUS_ACTIVE, "11:22:33:44:55:66`id`");
    memcpy(fp.payload.description.raw, &m, sizeof m);
    ASSERT_TRUE(send_message(fp));
    const std::string safe = test_mac(0x5a);
    ASSERT_TRUE(send_message(
        make_host_update_message(make_lanhost(safe, "192.168.77.21", "ok"), STATUS_ACTIVE, "Reachable")));

    // The well-formed device goes through its whole schedule; by then every
    // hostile one has had its first expiry too.
    auto removed = [&] {
        size_t n = 0;
        for (const std::string &line : tools.calls("iptables"))
            n += line.rfind("-t nat -D PREROUTING_USERAGENT", 0) == 0 && line.find(safe) != std::string::npos;
        return n;
    };
    ASSERT_TRUE(wait_until([&] { return removed() >= 2; }, 8000ms));
    for (const std::string &line : tools.calls("iptables")) {
        if (line.find("--mac-source") != std::string::npos) {
            EXPECT_NE(line.find("--mac-source " + safe + " "), std::string::npos) << line;
        }
        EXPECT_EQ(line.find(';'), std::string::npos) << line;
        EXPECT_EQ(line.find('$'), std::string::npos) << line;
        EXPECT_EQ(line.find('`'), std::string::npos) << line;
    }
    EXPECT_GE(zelmo->count_output("refusing capture redirect change"), hostile.size() + 1);
    EXPECT_FALSE(file_exists("/tmp/zelmo-x"));
}
