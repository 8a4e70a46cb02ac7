// The per-event jump check of the running daemon, in a private network
// namespace, on both packet-filter backends. "iptables" in the daemon's PATH
// is a link to a logging wrapper named like the real multi-call binary, which
// it then runs: the daemon recognizes the backend, and every iptables process
// it starts is on the log.
#include "capture/netns.h"
#include "fixture/fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char kJump[] = "-A PREROUTING -j PREROUTING_USERAGENT";

struct LoggedIptables {
    TempDir dir{"zelmo-iptables"};
    std::string log = dir.path() + "/calls.log";
    explicit LoggedIptables(const std::string &multi)
    {
        const std::string wrapper = dir.path() + "/" + multi;
        write_file(wrapper, "#!/bin/bash\nprintf '%s\\n' \"$*\" >> '" + log +
                                "'\nexec -a iptables /usr/sbin/" + multi + " \"$@\"\n");
        chmod(wrapper.c_str(), 0755);
        EXPECT_EQ(symlink(multi.c_str(), (dir.path() + "/iptables").c_str()), 0);
    }
    std::string path_env() const { return "PATH=" + dir.path() + ":" + getenv("PATH"); }
    // Calls other than one device's rule (-I/-D of a --mac-source rule).
    std::vector<std::string> checks() const
    {
        std::vector<std::string> lines = read_lines(log);
        lines.erase(
            std::remove_if(lines.begin(), lines.end(),
                           [](const std::string &l) { return l.find("--mac-source") != std::string::npos; }),
            lines.end());
        return lines;
    }
};

// Events with the jump in place start no iptables process; a jump flushed
// from outside is back after the next event, put there by one insertion.
void jump_checked_in_process(const NetNamespace &ns, const std::string &multi, const std::string &real,
                             const std::string &bridge)
{
    LoggedIptables iptables(multi);
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    gw.write_wifi_mode("RGW");
    std::unique_ptr<DaemonProcess> zelmo;
    {
        InNamespace inside(ns);
        ASSERT_TRUE(inside.ok());
        zelmo = std::make_unique<DaemonProcess>(std::vector<std::string>{"-d", "1", "-a", "1", "-b", bridge},
                                                std::vector<std::string>{iptables.path_env()});
        ASSERT_TRUE(zelmo->wait_for_output("Waiting for msg in main thread", 5000ms)) << zelmo->stderr_text();
    }
    auto jumps = [&] {
        auto rules = ns.nat_rules("PREROUTING", real);
        return std::count(rules.begin(), rules.end(), kJump);
    };
    EXPECT_EQ(jumps(), 1);
    const std::vector<std::string> started = iptables.checks();
    EXPECT_FALSE(started.empty()); // the wrapper is the iptables in use
    unsigned added = 0;
    auto event = [&](int n) {
        ASSERT_TRUE(send_message(make_host_update_message(make_lanhost(test_mac(n), "10.9.8.10"),
                                                          STATUS_ACTIVE, "Reachable", "Associated")));
        ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", ++added, 5000ms));
    };
    event(1);
    event(2);
    EXPECT_EQ(iptables.checks(), started);

    ASSERT_EQ(ns.exec({real, "-t", "nat", "-F", "PREROUTING"}), 0);
    event(3);
    EXPECT_EQ(jumps(), 1);
    std::vector<std::string> expected = started;
    expected.push_back("-t nat -I PREROUTING -j PREROUTING_USERAGENT");
    EXPECT_EQ(iptables.checks(), expected);
    event(4);
    event(5);
    EXPECT_EQ(iptables.checks(), expected);
    EXPECT_EQ(jumps(), 1);

    // The capture redirect of the first device uses the named bridge's address.
    EXPECT_TRUE(wait_until(
        [&] {
            for (const std::string &rule : ns.nat_rules("PREROUTING_USERAGENT", real))
                if (rule.find(test_mac(1)) != std::string::npos)
                    return rule.find("-s 10.9.8.0/24 ! -d 10.9.8.1/32") != std::string::npos &&
                           rule.find("--to-destination 10.9.8.1:8001") != std::string::npos;
            return false;
        },
        5000ms));
}

} // namespace

TEST(CaptureJump, NfTablesGenerationProvesTheJumpWithoutAProcess)
{
#ifndef ZELMO_HAVE_NFT_CHECK
    GTEST_SKIP() << "built without libmnl/libnftnl: the listing command runs per event";
#endif
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    if (access("/usr/sbin/xtables-nft-multi", X_OK) != 0)
        GTEST_SKIP() << "no /usr/sbin/xtables-nft-multi";
    ASSERT_TRUE(ns.add_bridge("10.9.8.1/24", "br-lan"));
    jump_checked_in_process(ns, "xtables-nft-multi", "iptables-nft", "br-lan");
}

TEST(CaptureJump, LegacyTableReadWithoutAProcess)
{
#ifndef ZELMO_HAVE_IPTC_CHECK
    GTEST_SKIP() << "built without libip4tc: the listing command runs per event";
#endif
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    if (access("/usr/sbin/xtables-legacy-multi", X_OK) != 0 ||
        ns.exec({"iptables-legacy", "-t", "nat", "-S"}) != 0)
        GTEST_SKIP() << "the legacy nat table cannot be used in a network namespace here";
    ASSERT_TRUE(ns.add_bridge("10.9.8.1/24", "br-lan"));
    jump_checked_in_process(ns, "xtables-legacy-multi", "iptables-legacy", "br-lan");
}

TEST(CaptureJump, BridgeOptionTakesOnlyInterfaceNames)
{
    for (const char *name : {"", "br/0", "br 0", "br\t0", "abcdefghijklmnop"}) {
        std::string err;
        EXPECT_EQ(run_zelmo({"-b", name, "-d", "1"}, nullptr, &err).exit_code, 1) << name;
        EXPECT_NE(err.find("is no interface name"), std::string::npos) << err;
    }
}
