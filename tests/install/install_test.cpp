// "cmake --install": the binary, the bus policy, the systemd unit, the procd
// init script and the manual page, each where the system bus, systemd and
// procd read it and naming the installed binary, whether the prefix was set
// when configuring or given to the install.
#include "staged_install.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>

namespace
{

// Every regular file below the staging directory, as its target path and mode.
std::map<std::string, unsigned> staged_files(const StagedInstall &s)
{
    std::map<std::string, unsigned> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(s.dest.path())) {
        struct stat st {
        };
        if (entry.is_regular_file() && stat(entry.path().c_str(), &st) == 0)
            files[entry.path().string().substr(s.dest.path().size())] = st.st_mode & 07777;
    }
    return files;
}

// Where this machine's systemd looks for system units, and the directories
// of bus policies its system bus includes.
std::set<std::string> systemd_unit_paths()
{
    std::string out;
    run_program({"systemd-analyze", "unit-paths"}, &out);
    std::set<std::string> paths;
    for (const std::string &p : words_of(out))
        paths.insert(p);
    return paths;
}
std::set<std::string> bus_policy_dirs()
{
    std::set<std::string> dirs;
    std::string conf = read_file("/usr/share/dbus-1/system.conf");
    for (size_t at = conf.find("<includedir>"); at != std::string::npos;
         at = conf.find("<includedir>", at + 1)) {
        size_t begin = at + 12, end = conf.find("</includedir>", begin);
        std::string dir = conf.substr(begin, end - begin);
        dirs.insert(dir[0] == '/' ? dir : "/usr/share/dbus-1/" + dir);
    }
    return dirs;
}

// The program of an Exec line, without systemd's "-+!@:" prefixes.
std::string exec_program(const std::string &line)
{
    std::string program = words_of(line).at(0);
    return program.substr(program.find_first_not_of("-+!@:"));
}

void check_install(const StagedInstall &s, const std::string &prefix, const std::string &policy_dir,
                   const std::string &unit_dir)
{
    SCOPED_TRACE("prefix " + prefix);
    ASSERT_EQ(s.result.status, 0) << s.result.out << s.result.err;
    const std::string binary = prefix + "/sbin/zelmo";
    const std::string policy = policy_dir + "/arvex.kvx.zelmo.conf", unit_path = unit_dir + "/zelmo.service";
    const std::map<std::string, unsigned> expected = {{binary, 0755},
                                                      {policy, 0644},
                                                      {unit_path, 0644},
                                                      {"/etc/init.d/zelmo", 0755},
                                                      {prefix + "/share/man/man8/zelmo.8", 0644}};
    EXPECT_EQ(staged_files(s), expected);
    EXPECT_EQ(read_file(s.path(policy)), read_file(ZELMO_SOURCE_DIR "/dist/arvex.kvx.zelmo.conf"));
    std::set<std::string> units = systemd_unit_paths(), policies = bus_policy_dirs();
    EXPECT_TRUE(units.empty() || units.count(unit_dir)) << unit_dir << " is not read by systemd";
    EXPECT_TRUE(policies.empty() || policies.count(policy_dir))
        << policy_dir << " is not read by the system bus";

    // Every program the unit runs is the staged binary or one of this machine.
    std::string unit = read_file(s.path(unit_path));
    EXPECT_EQ(unit_values(unit, "ExecStart"), std::vector<std::string>{binary});
    std::vector<std::string> stop = unit_values(unit, "ExecStopPost");
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(stop[0].substr(0, 1) + stop[0].substr(stop[0].find(' ')), "- -t nat -F PREROUTING_USERAGENT");
    for (const char *key : {"ExecStartPre", "ExecStart", "ExecStopPost"})
        for (const std::string &line : unit_values(unit, key)) {
            std::string program = exec_program(line);
            EXPECT_TRUE(program == binary || access(program.c_str(), X_OK) == 0) << key << "=" << line;
        }
    EXPECT_EQ(unit_values(unit, "WantedBy"), std::vector<std::string>{"multi-user.target"});

    std::string script = read_file(s.path("/etc/init.d/zelmo"));
    EXPECT_EQ(script.rfind("#!/bin/sh /etc/rc.common\n", 0), 0u);
    EXPECT_NE(script.find("\nPROG=" + binary + "\n"), std::string::npos) << script;
    size_t iptables = script.find("\nIPTABLES=");
    ASSERT_NE(iptables, std::string::npos);
    EXPECT_EQ(script.substr(iptables + 10, script.find('\n', iptables + 1) - iptables - 10),
              exec_program(stop[0]));
    EXPECT_EQ(run_tool({"sh", "-n", s.path("/etc/init.d/zelmo")}).status, 0);
}

TEST(Install, EveryFileWhereItIsReadForTheConfiguredOrTheGivenPrefix)
{
    // A tree configured with the prefix /usr. Only its install rules are
    // used: this build's binary stands in for the one it would build.
    TempDir tree("zelmo-usr-tree");
    ToolResult configured = run_tool({"cmake", "-S", ZELMO_SOURCE_DIR, "-B", tree.path(),
                                      "-DCMAKE_INSTALL_PREFIX=/usr", "-DZELMO_TESTS=OFF"},
                                     {}, 120s);
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
    std::string relative = DaemonProcess::binary().substr(build_dir().size());
    std::filesystem::copy_file(DaemonProcess::binary(), tree.path() + relative);

    check_install(*stage_install("", tree.path()), "/usr", "/usr/share/dbus-1/system.d",
                  "/usr/lib/systemd/system");
    check_install(*stage_install("/usr"), "/usr", "/usr/share/dbus-1/system.d", "/usr/lib/systemd/system");
    auto local = stage_install("/usr/local");
    check_install(*local, "/usr/local", "/etc/dbus-1/system.d", "/usr/local/lib/systemd/system");
    check_install(*stage_install("/opt/zelmo"), "/opt/zelmo", "/etc/dbus-1/system.d", "/etc/systemd/system");

    std::string man_path = local->path("/usr/local/share/man/man8/zelmo.8");
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
    for (const char *text :
         {".SH FILES", ".SH ENVIRONMENT", ".SH EXIT STATUS", ".B ZELMO_ROOT", "/configs/devices.db",
          "/usr/configs/kro_cacert.pem", "/tmp/daemon/zelmo.dm", "PREROUTING_USERAGENT",
          "/usr/lib/systemd/system/zelmo.service", "/etc/init.d/zelmo"})
        EXPECT_NE(man.find(text), std::string::npos) << text;
    if (file_exists("/usr/bin/groff")) {
        ToolResult g = run_tool({"groff", "-man", "-ww", "-z", man_path});
        EXPECT_EQ(g.status, 0);
        EXPECT_EQ(g.err, "") << g.err;
    }
}

} // namespace
