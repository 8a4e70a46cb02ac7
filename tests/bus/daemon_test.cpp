// The bus service inside the real daemon: a bus name held elsewhere costs the
// daemon its bus input only.
#include "fixture/fixture.h"

#include <gtest/gtest.h>

TEST(BusDaemon, NameHeldElsewhereLeavesTheMainThreadServing)
{
    GatewayRoot root;
    ToolStandIns tools;
    tools.add("iptables");
    tools.add("tar");
    root.write_device_info("00D0CF", "FibreBox", "SN1");
    root.write_wifi_mode("RGW");
    PrivateBus bus;
    BusClient owner;
    ASSERT_TRUE(owner.request_name("arvex.kvx.zelmo"));
    DaemonProcess zelmo({"-d", "1"}, {tools.path_env()});
    ASSERT_TRUE(zelmo.wait_for_output("failed to register zelmo service", 10000ms)) << zelmo.stderr_text();

    // The message service is still served.
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 7, {}));
    EXPECT_TRUE(zelmo.wait_for_output("changing Log level 7", 5000ms)) << zelmo.stderr_text();
    EXPECT_TRUE(zelmo.running());
}
