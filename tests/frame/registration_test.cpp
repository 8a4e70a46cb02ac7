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

// Below /tmp somebody else may have planted a name: nothing is written through
// a symlink, and a directory others could change is not used at all.
TEST(DaemonMonitor, PlantedSymlinksAreNeverFollowedAndUnsafeDirectoriesAreRefused)
{
    GatewayRoot root;
    CaptureFd err(STDERR_FILENO);
    cslibLog_setDestination(1);
    cslibLog_setLevel(ZLOG_INFO);
    const std::string outside = root.file("/outside"), dir = root.file("/tmp/daemon"),
                      file = dir + "/zelmo.dm";
    auto reg = [] { return dm_monitor_register("zelmo", 1, "null", 2, "dm_zelmo.sh"); };
    write_file(outside, "precious\n");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);

    // At the file's name: the link itself is replaced by the file.
    ASSERT_EQ(symlink(outside.c_str(), file.c_str()), 0);
    ASSERT_EQ(reg(), 0);
    struct stat st {
    };
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    const std::vector<std::string> lines = read_lines(file);
    EXPECT_EQ(lines.size(), 6u);
    EXPECT_EQ(err.count("registration file " + file + " is not a regular file (a symlink?); replacing it\n"),
              1u);

    // At every temporary name the next writes could take: refused.
    const std::string temp = dir + "/.zelmo.dm." + std::to_string(getpid()) + ".";
    for (int n = 0; n < 64; ++n)
        ASSERT_EQ(symlink(outside.c_str(), (temp + std::to_string(n)).c_str()), 0);
    EXPECT_EQ(reg(), -1);
    EXPECT_EQ(err.count("cannot create " + temp), 1u) << err.text();
    EXPECT_EQ(read_lines(file), lines);

    // A symlinked, foreign or writable directory is refused with its reason.
    ASSERT_EQ(rename(dir.c_str(), root.file("/tmp/elsewhere").c_str()), 0);
    ASSERT_EQ(symlink(root.file("/tmp/elsewhere").c_str(), dir.c_str()), 0);
    EXPECT_EQ(reg(), -1);
    ASSERT_EQ(unlink(dir.c_str()), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (auto [uid, mode, reason] : {std::tuple{65534, 0755, "not owned by root"},
                                     {0, 0777, "writable by group or others"},
                                     {0, 0775, "writable by group or others"}}) {
        ASSERT_EQ(chown(dir.c_str(), uid_t(uid), 0), 0);
        ASSERT_EQ(chmod(dir.c_str(), mode_t(mode)), 0);
        EXPECT_EQ(reg(), -1) << reason;
    }
    EXPECT_EQ(err.count("registration directory " + dir + " refused: not a directory (a symlink?)\n"), 1u);
    EXPECT_EQ(err.count("registration directory " + dir + " refused: not owned by root\n"), 1u);
    EXPECT_EQ(err.count("registration directory " + dir + " refused: writable by group or others\n"), 2u);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
    EXPECT_EQ(read_lines(root.file("/tmp/elsewhere/zelmo.dm")), lines);
    EXPECT_EQ(read_file(outside), "precious\n");
}
