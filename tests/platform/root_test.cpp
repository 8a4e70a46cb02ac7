#include "fixture/fixture.h"
#include "platform/root.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(Root, PathsMoveBelowZelmoRootAndDirectoriesAreMade)
{
    GatewayRoot root; // restores ZELMO_ROOT at the end
    unsetenv("ZELMO_ROOT");
    EXPECT_EQ(root_path("/configs/devices.db"), "/configs/devices.db");
    setenv("ZELMO_ROOT", "", 1);
    EXPECT_EQ(root_path("/tmp/daemon/zelmo.dm"), "/tmp/daemon/zelmo.dm");
    setenv("ZELMO_ROOT", "/tmp/gw", 1);
    EXPECT_EQ(root_path("/configs/devices.db"), "/tmp/gw/configs/devices.db");
    EXPECT_EQ(root_path("/usr/configs/kro_cacert.pem"), "/tmp/gw/usr/configs/kro_cacert.pem");
    setenv("ZELMO_ROOT", "/tmp/gw//", 1);
    EXPECT_EQ(root_path("/logs/zelmo_btrace.log"), "/tmp/gw/logs/zelmo_btrace.log");
    setenv("ZELMO_ROOT", root.path().c_str(), 1);

    // Directories are made with their parents; a file in the way fails.
    ASSERT_EQ(make_dirs(root_path("/tmp/daemon"), 0777), 0);
    ASSERT_EQ(make_dirs(root_path("/tmp/daemon")), 0); // existing is fine
    EXPECT_EQ(make_dirs(root.file("/var/run/csmsg/deep/er")), 0);
    write_file(root.file("/tmp/file"), "x");
    EXPECT_NE(make_dirs(root.file("/tmp/file/sub")), 0);
    EXPECT_NE(make_dirs(root.file("/tmp/file")), 0);
    EXPECT_NE(make_dirs(""), 0);
}
