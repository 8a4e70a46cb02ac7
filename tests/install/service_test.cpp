// The installed service: systemd rates the unit's exposure, and the real
// daemon does its whole job with only the unit's capabilities; the unit's
// and the init script's stop commands empty the capture chain.
#include "capture/netns.h"
#include "fixture/cloud_server.h"
#include "staged_install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace
{

const char kUnit[] = "/usr/lib/systemd/system/zelmo.service";

TEST(Service, UnitExposureAtMostThree)
{
    if (!run_program({"systemd-analyze", "--version"}).ended)
        GTEST_SKIP() << "no systemd-analyze";
    auto staged = stage_install("/usr");
    ASSERT_EQ(staged->result.status, 0) << staged->result.err;
    std::string out, err;
    ASSERT_EQ(run_program({"systemd-analyze", "security", "--offline=true", staged->path(kUnit)}, &out, &err)
                  .exit_code,
              0)
        << err;
    EXPECT_EQ(err, ""); // every setting understood
    const std::string marker = "Overall exposure level for zelmo.service: ";
    size_t at = out.find(marker);
    ASSERT_NE(at, std::string::npos) << out;
    double exposure = std::stod(out.substr(at + marker.size()));
    EXPECT_LE(exposure, 3.0) << out;
}

TEST(Service, DaemonWorksWithTheUnitsCapabilitiesAndStopEmptiesTheChain)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    ASSERT_EQ(ns.exec({"ip", "link", "set", "lo", "up"}), 0);
    auto staged = stage_install("/usr");
    ASSERT_EQ(staged->result.status, 0) << staged->result.err;
    const std::string unit = read_file(staged->path(kUnit));

    // As root, the bounding set is what limits the daemon and every program
    // it starts; setpriv applies the same set, in setpriv's spelling.
    ASSERT_EQ(unit_values(unit, "User"), std::vector<std::string>{});
    EXPECT_EQ(unit_values(unit, "AmbientCapabilities"), std::vector<std::string>{""});
    EXPECT_EQ(unit_values(unit, "NoNewPrivileges"), std::vector<std::string>{"yes"});
    std::vector<std::string> sets = unit_values(unit, "CapabilityBoundingSet");
    ASSERT_EQ(sets.size(), 1u);
    std::string bounding = "-all";
    for (std::string cap : words_of(sets[0])) {
        ASSERT_EQ(cap.rfind("CAP_", 0), 0u) << cap;
        std::transform(cap.begin(), cap.end(), cap.begin(), [](unsigned char c) { return std::tolower(c); });
        bounding += ",+" + cap.substr(4);
    }
    const std::vector<std::string> confined = {"setpriv", "--no-new-privs", "--inh-caps=-all",
                                               "--bounding-set=" + bounding, "--"};

    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    gw.write_wifi_mode("RGW");
    std::unique_ptr<CloudServer> cloud;
    std::unique_ptr<DaemonProcess> zelmo;
    {
        InNamespace inside(ns);
        ASSERT_TRUE(inside.ok());
        cloud = std::make_unique<CloudServer>();
        gw.write_http_profile(cloud->url());
        std::vector<std::string> args(confined.begin() + 1, confined.end());
        args.insert(args.end(), {DaemonProcess::binary(), "-d", "1", "-a", "1", "-r", "2"});
        zelmo = std::make_unique<DaemonProcess>(args, std::vector<std::string>{}, "setpriv");
    }
    ASSERT_TRUE(zelmo->wait_for_output("Waiting for msg in main thread", 5000ms)) << zelmo->output();

    auto has_rule = [&](const std::string &mac) {
        for (const std::string &rule : ns.nat_rules("PREROUTING_USERAGENT"))
            if (rule.find("--mac-source " + mac + " ") != std::string::npos)
                return true;
        return false;
    };
    auto stored = [&](const std::string &mac) {
        for (const DeviceRecord &r : parse_db(gw.read_db()).records)
            if (r.lanHostEntry.MACAddress == mac)
                return true;
        return false;
    };
    auto host = [](const std::string &mac) {
        return send_message(make_host_update_message(make_lanhost(mac, "192.168.77.10"), STATUS_ACTIVE,
                                                     "Reachable", "Associated"));
    };

    // A new device: saved, uploaded, redirected after one second, for two.
    const std::string a = test_mac(0xa1), b = test_mac(0xb2);
    ASSERT_TRUE(host(a));
    EXPECT_TRUE(wait_until([&] { return stored(a); }, 5000ms));
    ASSERT_TRUE(cloud->wait_requests(1, 5000));
    EXPECT_NE(cloud->requests()[0].parts.at(0).data.find(a), std::string::npos);
    EXPECT_TRUE(wait_until([&] { return has_rule(a); }, 5000ms, 50ms));
    EXPECT_TRUE(wait_until([&] { return !has_rule(a); }, 5000ms, 50ms));

    // A daemon killed mid-capture: the unit's ExecStopPost, under the same
    // confinement, empties the chain.
    ASSERT_TRUE(host(b));
    ASSERT_TRUE(wait_until([&] { return has_rule(b); }, 5000ms, 50ms));
    zelmo->kill(SIGKILL);
    ASSERT_TRUE(zelmo->wait_exit(5000ms).ended);
    ASSERT_TRUE(has_rule(b));
    std::vector<std::string> stop = unit_values(unit, "ExecStopPost");
    ASSERT_EQ(stop.size(), 1u);
    std::vector<std::string> command = confined;
    for (const std::string &w : words_of(stop[0].substr(stop[0].find_first_not_of('-'))))
        command.push_back(w);
    EXPECT_EQ(ns.exec(command), 0);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT"), std::vector<std::string>{"-N PREROUTING_USERAGENT"});

    // The procd script respawns the daemon and empties the chain once it stopped.
    const std::string init = staged->path("/etc/init.d/zelmo");
    EXPECT_NE(read_file(init).find("\tprocd_set_param respawn"), std::string::npos);
    ASSERT_EQ(ns.exec({"iptables", "-t", "nat", "-A", "PREROUTING_USERAGENT", "-j", "RETURN"}), 0);
    EXPECT_EQ(ns.exec({"sh", "-c", ". \"$0\" && service_stopped", init}), 0);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT"), std::vector<std::string>{"-N PREROUTING_USERAGENT"});
}

} // namespace
