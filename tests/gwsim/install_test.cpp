// "cmake --install" of the build: the binary, the bus policy, the systemd
// unit, the procd init script and the manual page, each where a gateway or
// a Debian system looks for it and pointing at the installed binary.
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace
{

// The one installed file below dest whose path ends with the suffix.
std::string installed(const std::string &dest, const std::string &suffix)
{
    std::string found;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dest)) {
        const std::string f = entry.path();
        if (entry.is_regular_file() && f.size() >= suffix.size() &&
            f.compare(f.size() - suffix.size(), suffix.size(), suffix) == 0)
            found = f;
    }
    return found;
}

bool executable(const std::string &path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) == 0111;
}

TEST(Install, PutsEveryFileInPlace)
{
    TempDir dest("zelmo-install");
    ToolResult r = run_tool({"cmake", "--install", build_dir()}, {"DESTDIR=" + dest.path()}, 60s);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::string binary = installed(dest.path(), "/sbin/zelmo");
    ASSERT_FALSE(binary.empty());
    EXPECT_TRUE(executable(binary));
    std::string binary_on_target = binary.substr(dest.path().size());

    std::string policy = installed(dest.path(), "/share/dbus-1/system.d/arvex.kvx.zelmo.conf");
    ASSERT_FALSE(policy.empty());
    EXPECT_EQ(read_file(policy), read_file(std::string(ZELMO_SOURCE_DIR) + "/dist/arvex.kvx.zelmo.conf"));

    std::string unit = read_file(installed(dest.path(), "/lib/systemd/system/zelmo.service"));
    EXPECT_NE(unit.find("\nExecStart=" + binary_on_target + "\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nWantedBy=multi-user.target"), std::string::npos);
    EXPECT_NE(unit.find("After=dbus.service"), std::string::npos);

    std::string init = installed(dest.path(), "/etc/init.d/zelmo");
    ASSERT_FALSE(init.empty());
    EXPECT_TRUE(executable(init));
    std::string script = read_file(init);
    EXPECT_EQ(script.rfind("#!/bin/sh /etc/rc.common\n", 0), 0u);
    EXPECT_NE(script.find("USE_PROCD=1"), std::string::npos);
    EXPECT_NE(script.find("PROG=" + binary_on_target + "\n"), std::string::npos) << script;
    EXPECT_NE(script.find("procd_open_instance"), std::string::npos);
    EXPECT_NE(script.find("procd_set_param command \"$PROG\""), std::string::npos);
    EXPECT_NE(script.find("procd_close_instance"), std::string::npos);
    EXPECT_EQ(run_tool({"sh", "-n", init}).status, 0);

    std::string man_path = installed(dest.path(), "/man/man8/zelmo.8");
    ASSERT_FALSE(man_path.empty());
    std::string man = read_file(man_path);
    for (const char *option : {"-f", "-s", "-o", "-m", "-d", "-l", "-a", "-r", "-n", "-h"}) {
        std::string roff = std::string(".B") + (option[1] == 'h' ? " \\" : "I \\") + option;
        EXPECT_NE(man.find(roff), std::string::npos) << "option " << option;
    }
    for (const char *word : {"dumpall", "dump", "getallcritical", "ledon", "ledoff"})
        EXPECT_NE(man.find(std::string(".B ") + word + "\n"), std::string::npos) << "command word " << word;
    for (const char *word : {"get", "getopt55", "gethdd", "getcritical"})
        EXPECT_NE(man.find(std::string(".BI ") + word + " \" MAC\"\n"), std::string::npos)
            << "command word " << word;
    for (const char *text : {".SH FILES", ".SH ENVIRONMENT", ".B ZELMO_ROOT", "/configs/devices.db",
                             "/usr/configs/kro_cacert.pem", "/tmp/daemon/zelmo.dm", "PREROUTING_USERAGENT"})
        EXPECT_NE(man.find(text), std::string::npos) << text;
    if (file_exists("/usr/bin/groff")) {
        ToolResult g = run_tool({"groff", "-man", "-ww", "-z", man_path});
        EXPECT_EQ(g.status, 0);
        EXPECT_EQ(g.err, "") << g.err;
    }
}

} // namespace
