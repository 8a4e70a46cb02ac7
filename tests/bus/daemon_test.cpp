// The bus service inside the real daemon: method calls are served while the
// main thread runs, and a bus name held elsewhere costs the daemon its bus
// input only.
#include "fixture/fixture.h"

#include <gtest/gtest.h>

namespace
{

// A root-mode gateway with recording stand-ins for iptables and tar.
struct Gateway {
    GatewayRoot root;
    ToolStandIns tools;
    PrivateBus bus;
    Gateway()
    {
        tools.add("iptables");
        tools.add("tar");
        root.write_device_info("00D0CF", "FibreBox", "SN1");
        root.write_wifi_mode("RGW");
    }
};

TEST(BusDaemon, RunningDaemonForwardsMethodCallsToTheLanHostDaemon)
{
    Gateway gw;
    RecordingLanHost lanhost;
    DaemonProcess zelmo({"-d", "1"}, {gw.tools.path_env()});
    BusClient client;
    MethodReply reply;
    ASSERT_TRUE(wait_until(
        [&] {
            reply = client.call_bytes_u32("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "arvex.kvx.zelmo",
                                          "notifyDeviceCategoryInfo", {7, 6, 5, 4, 3, 2, 1, 0, 9}, 9);
            return reply.ok;
        },
        10000ms, 50ms))
        << reply.error << zelmo.stderr_text();
    EXPECT_EQ(reply.reply.u32s, std::vector<uint32_t>{0});
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceCategoryInfo", 1, 5000ms));
    EXPECT_EQ(lanhost.calls("notifyDeviceCategoryInfo")[0].bytes(), (Bytes{7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_TRUE(zelmo.running());
}

TEST(BusDaemon, NameHeldElsewhereLeavesTheMainThreadServing)
{
    Gateway gw;
    BusClient owner;
    ASSERT_TRUE(owner.request_name("arvex.kvx.zelmo"));
    DaemonProcess zelmo({"-d", "1"}, {gw.tools.path_env()});
    ASSERT_TRUE(zelmo.wait_for_output("failed to register zelmo service", 10000ms)) << zelmo.stderr_text();
    EXPECT_EQ(zelmo.count_output("failed to request bus name for zelmo service"), 1u);

    // The message service is still served.
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 7, {}));
    EXPECT_TRUE(zelmo.wait_for_output("changing Log level 7", 5000ms)) << zelmo.stderr_text();
    EXPECT_TRUE(zelmo.running());
}

} // namespace
