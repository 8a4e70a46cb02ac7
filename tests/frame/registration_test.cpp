// Registration with the daemon monitor, in process, below a temporary root.
#include "fixture/fixture.h"
#include "frame/capture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

TEST(DaemonMonitor, WritesSixLinesAndRecreatesTheFile)
{
    GatewayRoot root;
    std::string path = root.file("/tmp/daemon/zelmo.dm");
    const std::vector<std::string> expected{"zelmo", "1",           "null",
                                            "2",     "dm_zelmo.sh", std::to_string(getpid())};

    // The directory is created when missing.
    ASSERT_EQ(dm_monitor_register("zelmo", 1, "null", 2, "dm_zelmo.sh"), 0);
    struct stat st {
    };
    ASSERT_EQ(stat(root.file("/tmp/daemon").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(read_file(path), "zelmo\n1\nnull\n2\ndm_zelmo.sh\n" + std::to_string(getpid()) + "\n");

    // A longer file of an earlier run is replaced whole; an absent text reads "null".
    write_file(path, "a\nb\nc\nd\ne\nf\ng\nh\n");
    ASSERT_EQ(dm_monitor_register("zelmo", 1, nullptr, 2, "dm_zelmo.sh"), 0);
    EXPECT_EQ(read_lines(path), expected);

    ASSERT_EQ(dm_monitor_register("other", 0, "arg", -5, "h.sh"), 0);
    EXPECT_EQ(read_lines(root.file("/tmp/daemon/other.dm")),
              (std::vector<std::string>{"other", "0", "arg", "-5", "h.sh", std::to_string(getpid())}));
}

TEST(DaemonMonitor, RefusesBadArgumentsAndReportsAnUnwritableFile)
{
    GatewayRoot root;
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(dm_monitor_register(nullptr, 1, "null", 2, "dm_zelmo.sh"), -1);
    EXPECT_EQ(dm_monitor_register("zelmo", 2, "null", 2, "dm_zelmo.sh"), -1);
    EXPECT_EQ(dm_monitor_register("zelmo", -1, "null", 2, "dm_zelmo.sh"), -1);
    EXPECT_EQ(dm_monitor_register("zelmo", 1, "null", 2, nullptr), -1);
    EXPECT_EQ(out.text(), "name is NULL!\npolicy is invalid!\npolicy is invalid!\nhandler is NULL!\n");
    EXPECT_FALSE(file_exists(root.file("/tmp/daemon")));

    // Without the gateway's /tmp the file cannot be created.
    ASSERT_EQ(rmdir(root.file("/tmp").c_str()), 0);
    EXPECT_EQ(dm_monitor_register("zelmo", 1, "null", 2, "dm_zelmo.sh"), -1);
    EXPECT_EQ(out.text().substr(out.text().size() - 13), "fopen failed!");
}

TEST(Configuration, IdentityAndModeComeFromTheStoreWhenReadable)
{
    GatewayRoot root;
    CaptureFd err(STDERR_FILENO);
    cslibLog_setDestination(1);
    cslibLog_setLevel(6);
    field_set(_g_serial, "CMDSERIAL");
    field_set(_g_oui, "CMDOUI");
    field_set(_g_model, "CMDMODEL");

    // Nothing stored: the command-line values stay.
    _g_isRoot = 0;
    zelmo_read_args();
    EXPECT_STREQ(_g_serial, "CMDSERIAL");
    EXPECT_EQ(_g_isRoot, 0);
    EXPECT_EQ(count_of(err.text(), "Failed to get IGDDeviceInfoObject, ret="), 1u);

    // Identity stored (cut to 31 characters), Wi-Fi service not: the mode stays.
    const std::string long_text(40, 'S');
    root.write_device_info("00D0CF", long_text, "SERIAL-1");
    zelmo_read_args();
    EXPECT_STREQ(_g_oui, "00D0CF");
    EXPECT_EQ(std::string(_g_model), long_text.substr(0, 31));
    EXPECT_STREQ(_g_serial, "SERIAL-1");
    EXPECT_EQ(_g_isRoot, 0);
    EXPECT_EQ(count_of(err.text(), "Failed to get WifiServiceObject, ret="), 1u);

    // Only the exact text "RGW" means root mode.
    for (auto [mode, root_mode] :
         {std::pair{"RGW", 1}, {"RGWX", 0}, {"rgw", 0}, {"", 0}, {"RGW", 1}, {"EXT", 0}}) {
        root.write_wifi_mode(mode);
        zelmo_read_args();
        EXPECT_EQ(_g_isRoot, root_mode) << mode;
    }
    _g_isRoot = 1;
}
