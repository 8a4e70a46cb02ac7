// The capture redirect against real iptables in a private network namespace,
// and against a recording iptables stand-in where the exact command matters.
#include "netns.h"

#include "fingerprint/fingerprint.h"
#include "frame/frame.h"

#include "fixture/fixture.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>

namespace
{

const char kRule[] = "-A PREROUTING_USERAGENT -s 192.168.77.0/24 ! -d 192.168.77.1/32 -p tcp -m mac "
                     "--mac-source 00:11:22:33:44:55 -m tcp --dport 80 -j DNAT --to-destination "
                     "192.168.77.1:8001";

void reset_bridge_texts()
{
    _g_br0_ip[0] = '\0';
    _g_subnet[0] = '\0';
}

size_t count_lines(const std::vector<std::string> &lines, const std::string &line)
{
    return size_t(std::count(lines.begin(), lines.end(), line));
}

// PATH with a directory put first, for the lifetime of the object.
class PathFirst
{
  public:
    explicit PathFirst(const std::string &dir)
    {
        const char *old = getenv("PATH");
        saved_ = old ? old : "";
        setenv("PATH", (dir + ":" + saved_).c_str(), 1);
    }
    ~PathFirst() { setenv("PATH", saved_.c_str(), 1); }

  private:
    std::string saved_;
};

} // namespace

TEST(CaptureRedirect, ChainJumpAndDeviceRuleWithRealIptables)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    reset_bridge_texts();
    InNamespace inside(ns);
    ASSERT_TRUE(inside.ok());

    EXPECT_EQ(init_iptables_chain(), 0);
    auto rules = ns.nat_rules();
    EXPECT_EQ(count_lines(rules, "-N PREROUTING_USERAGENT"), 1u);
    EXPECT_EQ(count_lines(rules, "-A PREROUTING -j PREROUTING_USERAGENT"), 1u);

    // The jump check never adds a second jump.
    exists_iptable();
    EXPECT_EQ(count_lines(ns.nat_rules("PREROUTING"), "-A PREROUTING -j PREROUTING_USERAGENT"), 1u);

    // Insert: exactly the redirect of the device, from the LAN, port 80, not to the gateway.
    add_iptables_rule("00:11:22:33:44:55", 1);
    EXPECT_EQ(std::string(_g_br0_ip), "192.168.77.1");
    EXPECT_EQ(std::string(_g_subnet), "192.168.77.0/24");
    rules = ns.nat_rules("PREROUTING_USERAGENT");
    EXPECT_EQ(count_lines(rules, kRule), 1u) << ::testing::PrintToString(rules);

    // The schedule's delete-then-insert keeps one copy; a delete removes it;
    // deleting a rule that is not there is harmless.
    add_iptables_rule("00:11:22:33:44:55", 0);
    add_iptables_rule("00:11:22:33:44:55", 1);
    EXPECT_EQ(count_lines(ns.nat_rules("PREROUTING_USERAGENT"), kRule), 1u);
    add_iptables_rule("00:11:22:33:44:55", 0);
    EXPECT_EQ(count_lines(ns.nat_rules("PREROUTING_USERAGENT"), kRule), 0u);
    add_iptables_rule("00:11:22:33:44:55", 0);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 1u); // only "-N PREROUTING_USERAGENT"

    // A start-up preparation empties the chain: no redirect outlives a restart.
    add_iptables_rule("00:11:22:33:44:55", 1);
    add_iptables_rule("AA:bb:CC:dd:EE:ff", 1);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 3u);
    EXPECT_EQ(init_iptables_chain(), 0);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 1u);
    EXPECT_EQ(count_lines(ns.nat_rules("PREROUTING"), "-A PREROUTING -j PREROUTING_USERAGENT"), 1u);
}

TEST(CaptureRedirect, JumpComesBackOnTopAfterOutsideFlush)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    InNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    ASSERT_EQ(init_iptables_chain(), 0);

    ASSERT_EQ(ns.exec({"iptables", "-t", "nat", "-F", "PREROUTING"}), 0);
    ASSERT_EQ(ns.exec({"iptables", "-t", "nat", "-A", "PREROUTING", "-p", "udp", "-j", "ACCEPT"}), 0);
    EXPECT_EQ(count_lines(ns.nat_rules("PREROUTING"), "-A PREROUTING -j PREROUTING_USERAGENT"), 0u);

    exists_iptable();
    auto rules = ns.nat_rules("PREROUTING");
    ASSERT_EQ(rules.size(), 3u) << ::testing::PrintToString(rules);
    EXPECT_EQ(rules[1], "-A PREROUTING -j PREROUTING_USERAGENT"); // first rule, after the policy line
    EXPECT_EQ(rules[2], "-A PREROUTING -p udp -j ACCEPT");
}

TEST(CaptureRedirect, BridgeAddressAndNetwork)
{
    EXPECT_EQ(count_set_bits(0xffffff00u), 24);
    EXPECT_EQ(count_set_bits(0xffffffffu), 32);
    EXPECT_EQ(count_set_bits(0u), 0);
    EXPECT_EQ(count_set_bits(0xff00ff00u), 16); // a non-contiguous mask: its number of one bits

    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("10.20.30.40/20"));
    InNamespace inside(ns);
    ASSERT_TRUE(inside.ok());

    char address[32] = "unchanged", network[32] = "unchanged";
    get_ipaddress("", address, network);
    get_ipaddress("nosuchif0", address, network);
    EXPECT_STREQ(address, "unchanged");
    EXPECT_STREQ(network, "unchanged");

    get_ipaddress("br0", address, network);
    EXPECT_STREQ(address, "10.20.30.40");
    EXPECT_STREQ(network, "10.20.16.0/20");
    char only_network[32] = "";
    get_ipaddress("br0", nullptr, only_network);
    EXPECT_STREQ(only_network, "10.20.16.0/20");

    // Bridge without an address: the texts of the last read stay in use.
    ASSERT_EQ(ns.exec({"ip", "addr", "flush", "dev", "br0"}), 0);
    get_ipaddress("br0", address, network);
    EXPECT_STREQ(address, "10.20.30.40");
    EXPECT_STREQ(network, "10.20.16.0/20");
}

TEST(CaptureRedirect, NoRuleWithoutBridgeAddress)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge(""));
    reset_bridge_texts();
    InNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    ASSERT_EQ(init_iptables_chain(), 0);

    add_iptables_rule("00:11:22:33:44:55", 1);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 1u);
    EXPECT_STREQ(_g_br0_ip, "");
}

TEST(CaptureRedirect, OnlyWellFormedMacsReachTheCommandLine)
{
    EXPECT_TRUE(mac_is_safe("00:11:22:33:44:55"));
    EXPECT_TRUE(mac_is_safe("aA:bB:cC:dD:eE:fF"));

    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    reset_bridge_texts();
    ToolStandIns tools;
    tools.add("iptables");
    PathFirst path(tools.dir());
    InNamespace inside(ns);
    ASSERT_TRUE(inside.ok());

    const char *hostile[] = {"00:11:22:33:44:55;reboot",
                             "$(touch /tmp/zelmo-pwned)",
                             "00:11:22:33:44:55 -j ACCEPT",
                             "00 11 22 33 44 55",
                             "00:11:22:33:44:5",
                             "00:11:22:33:44:555",
                             "0:11:22:33:44:55:",
                             "gg:11:22:33:44:55",
                             "00-11-22-33-44-55",
                             "00:11:22:33:44:55\n",
                             "`id`:11:22:33:44:55",
                             "--mac-source 00:11",
                             "00:11:22:33:44:55:66:77:88:99:aa:bb:cc"};
    for (const char *mac : hostile) {
        EXPECT_FALSE(mac_is_safe(mac)) << mac;
        add_iptables_rule(mac, 1);
        add_iptables_rule(mac, 0);
    }
    EXPECT_FALSE(mac_is_safe(nullptr));
    EXPECT_FALSE(mac_is_safe(""));
    add_iptables_rule("", 1); // not even the jump check
    EXPECT_TRUE(tools.calls("iptables").empty()) << ::testing::PrintToString(tools.calls("iptables"));

    // A well-formed MAC gives exactly the insert and delete command lines.
    add_iptables_rule("00:11:22:33:44:55", 1);
    add_iptables_rule("00:11:22:33:44:55", 0);
    const std::vector<std::string> expected{
        "-t nat -L PREROUTING -nv",
        "-t nat -I PREROUTING -j PREROUTING_USERAGENT",
        "-t nat -I PREROUTING_USERAGENT -p tcp -m mac --mac-source 00:11:22:33:44:55 -s 192.168.77.0/24 ! -d "
        "192.168.77.1 --dport 80 -j DNAT --to-destination 192.168.77.1:8001",
        "-t nat -L PREROUTING -nv",
        "-t nat -I PREROUTING -j PREROUTING_USERAGENT",
        "-t nat -D PREROUTING_USERAGENT -p tcp -m mac --mac-source 00:11:22:33:44:55 -s 192.168.77.0/24 ! -d "
        "192.168.77.1 --dport 80 -j DNAT --to-destination 192.168.77.1:8001",
    };
    EXPECT_EQ(tools.calls("iptables"), expected);
    EXPECT_FALSE(file_exists("/tmp/zelmo-pwned"));
}
