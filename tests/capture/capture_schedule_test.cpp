// The capture schedule of the running daemon (-a 1 -r 2) inside a private
// network namespace with a LAN bridge and real iptables, and the chain
// emptied by the daemon's own stop.
#include "capture/netns.h"
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

// A root-mode gateway in a private namespace with its LAN bridge, the bus
// and the recording LAN host daemon.
class CaptureSchedule : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        SKIP_WITHOUT_NAMESPACE(ns);
        ASSERT_TRUE(ns.add_bridge("192.168.77.1/24"));
        gw.write_wifi_mode("RGW");
    }
    // The daemon inside the namespace, ready for events.
    std::unique_ptr<DaemonProcess> start(const char *remove_period)
    {
        InNamespace inside(ns);
        auto d = std::make_unique<DaemonProcess>(
            std::vector<std::string>{"-d", "1", "-a", "1", "-r", remove_period});
        EXPECT_TRUE(inside.ok() && d->wait_for_output("Waiting for msg in main thread", 5000ms))
            << d->output();
        return d;
    }
    // An active wired host seen by the message service.
    static bool host(const std::string &mac)
    {
        return send_message(make_host_update_message(make_lanhost(mac, "192.168.77.10"), STATUS_ACTIVE,
                                                     "Reachable", "Associated"));
    }
    NetNamespace ns;
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
};

} // namespace

TEST_F(CaptureSchedule, RedirectLivesOnlyForItsPeriodAndNeverPastARestart)
{
    auto chain = [&] { return ns.nat_rules("PREROUTING_USERAGENT"); };
    auto has = [&](const std::string &mac) {
        auto rules = chain();
        return std::find(rules.begin(), rules.end(), rule_for(mac)) != rules.end();
    };
    auto stage = [&](const std::string &mac) {
        for (const DeviceRecord &r : parse_db(gw.read_db()).records)
            if (r.lanHostEntry.MACAddress == mac)
                return r.TimerStage.get();
        return -1;
    };
    auto zelmo = start("2");

    // A has no fingerprint: redirected after the first period, for the second.
    // B is fingerprinted before its first expiry: never redirected.
    const std::string a = test_mac(0xa1), b = test_mac(0xb2);
    ASSERT_TRUE(host(a) && host(b));
    DeviceUpdateMessage fp = make_device_update_message(FP_HTTP, STATUS_ACTIVE, b);
    memcpy(fp.payload.description.raw + 68, "Agent/1", 8);
    ASSERT_TRUE(send_message(fp));
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceInfoUpdate", 1, 5000ms));
    EXPECT_FALSE(has(a));
    bool b_seen = false;
    auto watch = [&](bool present) {
        return wait_until([&] { return (b_seen |= has(b), has(a) == present); }, 6000ms, 50ms);
    };
    ASSERT_TRUE(watch(true));
    EXPECT_EQ(chain().size(), 2u); // the chain and A's one rule
    EXPECT_EQ(stage(a), 2);
    ASSERT_TRUE(watch(false));
    EXPECT_FALSE(b_seen);
    EXPECT_TRUE(wait_until([&] { return stage(a) == 3; }, 2000ms));
    EXPECT_EQ(stage(b), 3);

    // A device message puts back the jump that an outside flush removed.
    ASSERT_EQ(ns.exec({"iptables", "-t", "nat", "-F", "PREROUTING"}), 0);
    ASSERT_TRUE(send_message(make_device_update_message(0, STATUS_ACTIVE, a)));
    EXPECT_TRUE(wait_until([&] { return ns.nat_rules("PREROUTING").size() == 2; }, 5000ms));

    // A crash leaves a redirect behind; the next start empties the chain and
    // starts no schedule for the stored devices.
    zelmo.reset();
    zelmo = start("600");
    const std::string c = test_mac(0xc3);
    ASSERT_TRUE(host(c));
    ASSERT_TRUE(wait_until([&] { return has(c); }, 5000ms));
    zelmo->kill(SIGKILL);
    ASSERT_TRUE(zelmo->wait_exit(5000ms).ended);
    EXPECT_TRUE(has(c));
    zelmo = start("600");
    EXPECT_EQ(chain().size(), 1u);
    EXPECT_EQ(stage(c), 0);
    usleep(1500 * 1000);
    EXPECT_EQ(chain().size(), 1u);
}

TEST_F(CaptureSchedule, SigtermEmptiesTheChainWithinTwoSeconds)
{
    auto zelmo = start("600");
    ASSERT_FALSE(HasFailure());
    const std::string mac = test_mac(0xd4);
    ASSERT_TRUE(host(mac));
    const std::vector<std::string> captured{"-N PREROUTING_USERAGENT", rule_for(mac)};
    ASSERT_TRUE(wait_until([&] { return ns.nat_rules("PREROUTING_USERAGENT") == captured; }, 5000ms, 50ms));

    // The handler itself flushes: the device is diverted no longer, though
    // nothing else runs after the daemon is gone.
    const auto sent = std::chrono::steady_clock::now();
    zelmo->kill(SIGTERM);
    EXPECT_TRUE(wait_until(
        [&] {
            return ns.nat_rules("PREROUTING_USERAGENT") ==
                   std::vector<std::string>{"-N PREROUTING_USERAGENT"};
        },
        2000ms, 20ms));
    EXPECT_LE(std::chrono::steady_clock::now() - sent, 2000ms);
    EXPECT_EQ(zelmo->wait_exit(2000ms).signal, SIGTERM);
    EXPECT_EQ(ns.nat_rules("PREROUTING").size(), 2u); // the jump stays for the next start
}
