// The capture redirect against real iptables in a private network namespace,
// and against a recording stand-in where the exact command line matters.
// That start-up empties the chain and that a device message puts back a
// flushed jump are checked with the real binary by CaptureSchedule; that the
// jump goes first (-I), by the command line below.
#include "capture/netns.h"
#include "common/run_command.h"
#include "fingerprint/fingerprint.h"
#include "fixture/fixture.h"
#include "frame/frame.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace
{

size_t count_of(const std::vector<std::string> &lines, const std::string &line)
{
    return size_t(std::count(lines.begin(), lines.end(), line));
}
const char kJump[] = "-A PREROUTING -j PREROUTING_USERAGENT";
const char kRule[] =
    "-A PREROUTING_USERAGENT -s 192.168.77.0/24 ! -d 192.168.77.1/32 -p tcp -m mac --mac-source "
    "00:11:22:33:44:55 -m tcp --dport 80 -j DNAT --to-destination 192.168.77.1:8001";

} // namespace

TEST(CaptureRedirect, ChainJumpAndRulesWithRealIptables)
{
    NetNamespace ns;
    SKIP_WITHOUT_NAMESPACE(ns);
    ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
    _g_br0_ip[0] = _g_subnet[0] = '\0';
    InNamespace inside(ns);
    ASSERT_TRUE(inside.ok());

    EXPECT_EQ(init_iptables_chain(), 0);
    exists_iptable(); // never a second jump
    EXPECT_EQ(count_of(ns.nat_rules(), "-N PREROUTING_USERAGENT"), 1u);
    EXPECT_EQ(count_of(ns.nat_rules(), kJump), 1u);

    // The rule: only TCP to port 80, from that MAC inside the LAN (from br0's
    // address), not to the gateway.
    add_iptables_rule("00:11:22:33:44:55", 1);
    EXPECT_EQ(count_of(ns.nat_rules("PREROUTING_USERAGENT"), kRule), 1u);
    add_iptables_rule("00:11:22:33:44:55", 0); // delete then insert: still one copy
    add_iptables_rule("00:11:22:33:44:55", 1);
    EXPECT_EQ(count_of(ns.nat_rules("PREROUTING_USERAGENT"), kRule), 1u);
    add_iptables_rule("00:11:22:33:44:55", 0);
    add_iptables_rule("00:11:22:33:44:55", 0); // deleting what is not there is harmless
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 1u);

    // Unknown or unnamed interfaces change nothing; a bridge that loses its
    // address keeps the last texts in use; without any address no rule is written.
    char address[32] = "old", network[32] = "old";
    get_ipaddress("", address, network);
    get_ipaddress("nosuchif0", address, network);
    EXPECT_STREQ(address, "old");
    ASSERT_EQ(ns.exec({"ip", "addr", "flush", "dev", "br0"}), 0);
    ASSERT_EQ(ns.exec({"ip", "addr", "add", "10.20.30.40/20", "dev", "br0"}), 0);
    get_ipaddress("br0", address, network);
    EXPECT_STREQ(address, "10.20.30.40");
    EXPECT_STREQ(network, "10.20.16.0/20");
    ASSERT_EQ(ns.exec({"ip", "addr", "flush", "dev", "br0"}), 0);
    get_ipaddress("br0", address, network);
    EXPECT_STREQ(network, "10.20.16.0/20");
    _g_br0_ip[0] = _g_subnet[0] = '\0';
    add_iptables_rule("00:11:22:33:44:55", 1);
    EXPECT_EQ(ns.nat_rules("PREROUTING_USERAGENT").size(), 1u);
}

TEST(CaptureRedirect, OnlyWellFormedMacsReachTheCommandLine)
{
    ToolStandIns tools;
    tools.add("iptables");
    const std::string path = getenv("PATH");
    setenv("PATH", (tools.dir() + ":" + path).c_str(), 1);
    ASSERT_EQ(capture_detect_backend(), JumpBackend::command); // a stand-in: the listing per event
    field_set(_g_br0_ip, "192.168.77.1");                      // kept: no "br0" outside a namespace
    field_set(_g_subnet, "192.168.77.0/24");

    for (const char *mac :
         {"00:11:22:33:44:55;reboot", "$(touch /tmp/zelmo-pwned)", "00:11:22:33:44:55 -j ACCEPT",
          "00 11 22 33 44 55", "00:11:22:33:44:5", "00:11:22:33:44:555", "gg:11:22:33:44:55",
          "00-11-22-33-44-55", "00:11:22:33:44:55\n", "`id`:11:22:33:44:55",
          "00:11:22:33:44:55:66:77:88:99:aa:bb", ""}) {
        EXPECT_FALSE(mac_is_safe(mac)) << mac;
        add_iptables_rule(mac, 1);
        add_iptables_rule(mac, 0);
    }
    EXPECT_FALSE(mac_is_safe(nullptr));
    EXPECT_TRUE(tools.calls("iptables").empty()); // not even the jump check

    add_iptables_rule("aA:bB:cC:dD:eE:fF", 1);
    const std::string rule = " PREROUTING_USERAGENT -p tcp -m mac --mac-source aA:bB:cC:dD:eE:fF -s "
                             "192.168.77.0/24 ! -d 192.168.77.1 --dport 80 -j DNAT --to-destination "
                             "192.168.77.1:8001";
    EXPECT_EQ(tools.calls("iptables"),
              (std::vector<std::string>{"-t nat -L PREROUTING -nv",
                                        "-t nat -I PREROUTING -j PREROUTING_USERAGENT", "-t nat -I" + rule}));
    add_iptables_rule("aA:bB:cC:dD:eE:fF", 0);
    EXPECT_EQ(tools.calls("iptables").back(), "-t nat -D" + rule);
    setenv("PATH", path.c_str(), 1);
    EXPECT_FALSE(file_exists("/tmp/zelmo-pwned"));
}

TEST(RunCommand, ArgumentsOutputsAndStatuses)
{
    std::string out;
    const char *literal[] = {"printf", "%s|", "$(id)", "a b;c", nullptr};
    RunOptions capture{ChildStream::capture, ChildStream::discard, &out, 8};
    EXPECT_EQ(run_command(literal, capture), 0);
    EXPECT_EQ(out, "$(id)|a "); // shell syntax is plain text; output cut at the limit
    const char *status[] = {"sh", "-c", "head -c 300000 /dev/zero; echo e >&2; exit 7", nullptr};
    EXPECT_EQ(run_command(status, capture), 7); // read to the end: the child never blocks
    const char *killed[] = {"sh", "-c", "kill -TERM $$", nullptr};
    EXPECT_EQ(run_command(killed), 128 + 15);
    const char *missing[] = {"zelmo-no-such-program", nullptr};
    EXPECT_EQ(run_command(missing), -1);
    const char *fds[] = {"ls", "/proc/self/fd", nullptr};
    int high = fcntl(STDIN_FILENO, F_DUPFD, 200); // no descriptor of the caller leaks into the child
    capture.capture_limit = 4096;
    EXPECT_EQ(run_command(fds, capture), 0);
    EXPECT_EQ(out.find(std::to_string(high)), std::string::npos) << out;
    close(high);
}
