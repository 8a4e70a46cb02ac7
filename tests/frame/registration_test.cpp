// Registration with the daemon monitor and the configuration read at
// start-up, in process below a temporary root.
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(DaemonMonitor, RefusesBadArgumentsAndReportsAnUncreatableFile)
{
    GatewayRoot root;
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(dm_monitor_register(nullptr, 1, "null", 2, "dm_zelmo.sh"), -1);
    EXPECT_EQ(dm_monitor_register("zelmo", 2, "null", 2, "dm_zelmo.sh"), -1);
    EXPECT_EQ(dm_monitor_register("zelmo", 1, "null", 2, nullptr), -1);
    EXPECT_EQ(out.text(), "name is NULL!\npolicy is invalid!\nhandler is NULL!\n");
    EXPECT_FALSE(file_exists(root.file("/tmp/daemon")));

    ASSERT_EQ(dm_monitor_register("other", 0, nullptr, -5, "h.sh"), 0);
    EXPECT_EQ(read_lines(root.file("/tmp/daemon/other.dm")),
              (std::vector<std::string>{"other", "0", "null", "-5", "h.sh", std::to_string(getpid())}));

    ASSERT_EQ(rename(root.file("/tmp").c_str(), root.file("/gone").c_str()), 0); // no /tmp on the gateway
    EXPECT_EQ(dm_monitor_register("zelmo", 1, "null", 2, "dm_zelmo.sh"), -1);
    EXPECT_EQ(out.text().substr(out.text().size() - 13), "fopen failed!");
    ASSERT_EQ(rename(root.file("/gone").c_str(), root.file("/tmp").c_str()), 0);
}

TEST(Configuration, IdentityAndModeComeFromTheStoreWhenReadable)
{
    GatewayRoot root;
    CaptureFd err(STDERR_FILENO);
    cslibLog_setDestination(1);
    cslibLog_setLevel(ZLOG_INFO);
    field_set(_g_serial, "CMDSERIAL");
    _g_isRoot = 0;
    zelmo_read_args(); // nothing stored: the command-line values stay
    EXPECT_STREQ(_g_serial, "CMDSERIAL");
    EXPECT_EQ(_g_isRoot, 0);
    EXPECT_EQ(err.count("Failed to get IGDDeviceInfoObject, ret="), 1u);

    const std::string long_text(40, 'M');
    root.write_device_info("00D0CF", long_text, "SERIAL-1");
    zelmo_read_args(); // identity replaced (31 characters at most), mode kept
    EXPECT_STREQ(_g_oui, "00D0CF");
    EXPECT_EQ(std::string(_g_model), long_text.substr(0, 31));
    EXPECT_STREQ(_g_serial, "SERIAL-1");
    EXPECT_EQ(_g_isRoot, 0);
    EXPECT_EQ(err.count("Failed to get WifiServiceObject, ret="), 1u);

    for (auto [mode, root_mode] : {std::pair{"RGW", 1}, {"RGWX", 0}, {"rgw", 0}, {"RGW", 1}, {"", 0}}) {
        root.write_wifi_mode(mode);
        zelmo_read_args();
        EXPECT_EQ(_g_isRoot, root_mode) << mode;
    }
    _g_isRoot = 1;
}
