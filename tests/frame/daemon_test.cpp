// The real zelmo binary under a temporary gateway root: options, mode from
// the configuration store, registration with the daemon monitor and the
// root-mode reset. That its threads run is shown by SignalsTest (bus signals,
// health check) and PowerCut (table sent at start).
#include "fixture/fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const std::string kStarted = "ZELMO process started...!!!";

// A gateway root with recording stand-ins for iptables and tar first in PATH.
struct Gateway {
    GatewayRoot root;
    ToolStandIns tools;
    Gateway()
    {
        tools.add("iptables");
        tools.add("tar");
    }
    std::vector<std::string> env() const { return {tools.path_env()}; }
    std::vector<std::string> registration() const { return read_lines(root.file("/tmp/daemon/zelmo.dm")); }
};

std::vector<std::string> expected_registration(pid_t pid)
{
    return {"zelmo", "1", "null", "2", "dm_zelmo.sh", std::to_string(pid)};
}

} // namespace

TEST(DaemonStartup, UsageAndShortDumpEndTheProcessBeforeItStarts)
{
    Gateway gw;
    const std::string usage =
        "usage:- " + DaemonProcess::binary() +
        " -f <devices db> -s <serial> -o <oui>  -m <model> -d <debug> -l <devices db> [-b <LAN bridge>]\n";
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"-h"}, {"-x"}, {"-s", "SERIAL", "-q"}, {"-f"}}) {
        std::string err;
        EXPECT_EQ(run_zelmo(args, nullptr, &err, 10000ms, gw.env()).exit_code, 1) << args[0];
        EXPECT_EQ(err, usage); // the usage line alone
    }
    // -l prints the short dump of that file and ends, whatever follows.
    std::string other = gw.root.file("/other.db");
    gw.root.write_db({make_record(test_mac(0x21)), make_record(test_mac(0x22))}, other);
    std::string err;
    EXPECT_EQ(run_zelmo({"-l", other, "-x", "-h"}, nullptr, &err, 10000ms, gw.env()).exit_code, 0);
    EXPECT_NE(err.find("MACAddress  HostState  DeviceState  Status  LastReportedTime  Type  Data\n"),
              std::string::npos);
    EXPECT_NE(err.find(test_mac(0x22) + "  Reported "), std::string::npos) << err;
    EXPECT_FALSE(file_exists(gw.root.db_path()));
    EXPECT_FALSE(file_exists(gw.root.file("/tmp/daemon/zelmo.dm")));
}

TEST(DaemonStartup, RootModeResetsTheTableAndRegisters)
{
    Gateway gw;
    gw.root.write_device_info("00D0CF", "FibreBox", "SN1");
    gw.root.write_wifi_mode("RGW");
    DeviceRecord stale = make_record(test_mac(1));
    stale.timer.set(77);
    stale.TimerStage.set(2);
    gw.root.write_db({stale, make_record(test_mac(2))});
    ASSERT_EQ(mkdir(gw.root.file("/tmp/daemon").c_str(), 0777), 0);
    write_file(gw.root.file("/tmp/daemon/zelmo.dm"), "old\nold\nold\nold\nold\nold\nold\n");

    // -n 0 loses against the configuration's "RGW".
    DaemonProcess daemon({"-n", "0", "-d", "1"}, gw.env());
    ASSERT_TRUE(daemon.wait_for_output(kStarted, 10000ms)) << daemon.stderr_text();
    EXPECT_NE(daemon.stdout_text().find("Started Zelmo Process\n"), std::string::npos);
    EXPECT_EQ(gw.registration(), expected_registration(daemon.pid())); // replaced, not appended to

    // The full dump went to standard error; every stored device is then
    // Removed with no timer and written back.
    EXPECT_NE(daemon.stderr_text().find(std::string(83, '+') + "\n"), std::string::npos);
    DbImage db = parse_db(gw.root.read_db());
    ASSERT_TRUE(db.ok);
    ASSERT_EQ(db.records.size(), 2u);
    for (const DeviceRecord &r : db.records) {
        EXPECT_EQ(r.Status.get(), STATUS_REMOVED);
        EXPECT_EQ(r.timer.get(), 0u);
        EXPECT_EQ(r.TimerStage.get(), 0);
    }
    EXPECT_TRUE(daemon.running());
}

// Whatever umask it inherits, the daemon's files hold device data for root
// alone; only the registration (read by the monitor) is readable by others.
TEST(DaemonStartup, UnderUmaskZeroEveryFileItCreatesIsPrivate)
{
    GatewayRoot root;
    ToolStandIns tools;
    tools.add("iptables"); // the real tar makes the archive
    root.write_wifi_mode("RGW");
    write_file(root.file("/logs/messages"), "a system log line\n");
    namespace fs = std::filesystem;
    auto tree = [&] {
        std::map<std::string, mode_t> modes;
        for (const fs::directory_entry &e : fs::recursive_directory_iterator(root.path())) {
            struct stat st {
            };
            lstat(e.path().c_str(), &st);
            modes[e.path().string().substr(root.path().size())] = st.st_mode & 07777;
        }
        return modes;
    };
    const std::map<std::string, mode_t> before = tree();

    mode_t saved = umask(0);
    DaemonProcess daemon({"-d", "1"}, {tools.path_env()});
    umask(saved);
    ASSERT_TRUE(daemon.wait_for_output(kStarted, 10000ms)) << daemon.stderr_text();
    daemon.kill(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5000ms).signal, SIGTERM);
    const std::string archive = root.file("/logs/crash_logs.tar.gz");
    EXPECT_TRUE(wait_until([&] { return fs::exists(archive) && fs::file_size(archive) > 0; }, 5000ms));
    std::this_thread::sleep_for(200ms); // tar and gzip close the archive

    const std::map<std::string, mode_t> exact = {{"/tmp/daemon", 0755},
                                                 {"/tmp/daemon/zelmo.dm", 0644},
                                                 {"/configs/devices.db", 0600},
                                                 {"/logs/zelmo_btrace.log", 0600},
                                                 {"/logs/crash_logs.tar.gz", 0600},
                                                 {"/var/run", 0700}};
    std::map<std::string, mode_t> created;
    for (const auto &[path, mode] : tree())
        if (before.count(path) == 0)
            created[path] = mode;
    for (const auto &[path, mode] : exact)
        EXPECT_EQ(created.count(path), 1u) << path;
    // Anything else (the lock, the socket, the journal, their directories) for root alone.
    for (const auto &[path, mode] : created)
        EXPECT_EQ(mode, exact.count(path) ? exact.at(path) : mode & 07700) << std::oct << path << " " << mode;
}

TEST(DaemonStartup, ExtenderModeKeepsNoTableAndWatchesOnlyTheLocalPipe)
{
    Gateway gw;
    PrivateBus bus;
    gw.root.write_device_info("OUI", "Model", "Serial");
    gw.root.write_wifi_mode("EXT"); // although -n defaults to root
    DaemonProcess daemon({"-d", "1"}, gw.env());
    ASSERT_TRUE(daemon.wait_for_output(kStarted, 10000ms)) << daemon.stderr_text();
    EXPECT_NE(daemon.stdout_text().find("Started Zelmo Proces in Extender Mode\n"), std::string::npos);
    EXPECT_EQ(daemon.count_output("Extender Mode Process_Message"), 1u);
    EXPECT_EQ(gw.registration(), expected_registration(daemon.pid()));
    EXPECT_FALSE(file_exists(gw.root.db_path()));
    EXPECT_TRUE(gw.tools.calls("iptables").empty());
    // A message-service message stays unread while bus signals, emitted
    // until the bus thread has subscribed, reach the main thread.
    ASSERT_TRUE(send_csmsg(0x10002700, 0, {}));
    BusClient client;
    EXPECT_TRUE(wait_until(
        [&] {
            client.emit_signal("arvex.httpd", "setCriticalDevice", Bytes(8, 0));
            return daemon.count_output("[zelmo] Invalid IPC msg type") > 0;
        },
        10000ms, 100ms));
    EXPECT_EQ(daemon.count_output("unsupported msg to Zelmo"), 0u);
}

TEST(DaemonStartup, FatalStartupFailuresNameTheObjectAndReasonAndEndWithStatus1)
{
    // Without -d as with it: one line on standard error, status 1.
    Gateway gw;
    const std::vector<std::string> quiet = {"-d", "0"};
    std::string err;
    ASSERT_EQ(mkdir(gw.root.file("/var").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(gw.root.file("/var/run").c_str(), 0755), 0);
    // A lock file that is a symlink is not followed.
    ASSERT_EQ(symlink("/etc/hostname", gw.root.file("/var/run/zelmo.lock").c_str()), 0);
    EXPECT_EQ(run_zelmo(quiet, nullptr, &err, 10000ms, gw.env()).exit_code, 1);
    EXPECT_EQ(err, "zelmo: cannot open " + gw.root.file("/var/run/zelmo.lock") +
                       ": Too many levels of symbolic links\n");
    EXPECT_FALSE(file_exists(gw.root.file("/tmp/daemon/zelmo.dm")));
    ASSERT_EQ(unlink(gw.root.file("/var/run/zelmo.lock").c_str()), 0);

    write_file(gw.root.file("/var/run/csmsg"), "not a directory");
    EXPECT_EQ(run_zelmo(quiet, nullptr, &err, 10000ms, gw.env()).exit_code, 1);
    EXPECT_EQ(err, "zelmo: cannot open the message service socket in " + gw.root.file("/var/run/csmsg") +
                       ": File exists\n");
    ASSERT_EQ(unlink(gw.root.file("/var/run/csmsg").c_str()), 0);

    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-f", "/nonexistent/dir/devices.db"},
          {"-d", "1", "-f", "/nonexistent/dir/devices.db"}}) {
        EXPECT_EQ(run_zelmo(args, nullptr, &err, 10000ms, gw.env()).exit_code, 1);
        EXPECT_NE(err.find("zelmo: cannot write /nonexistent/dir/devices.db: No such file or directory\n"),
                  std::string::npos)
            << err;
    }
    EXPECT_TRUE(gw.tools.calls("iptables").empty());
}

TEST(DaemonStartup, OneDaemonPerGatewayAndTheLockDiesWithIt)
{
    Gateway gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    gw.root.write_wifi_mode("RGW");
    gw.root.write_db({make_record(test_mac(1))});
    auto first = std::make_unique<DaemonProcess>(std::vector<std::string>{"-d", "1"}, gw.env());
    ASSERT_TRUE(first->wait_for_output(kStarted, 10000ms)) << first->stderr_text();
    ASSERT_TRUE(lanhost.wait_for("", 1, 10000ms));
    std::this_thread::sleep_for(300ms);
    const Bytes db = gw.root.read_db();
    const size_t iptables = gw.tools.calls("iptables").size(), calls = lanhost.calls().size();

    for (const char *mode : {"RGW", "EXT"}) {
        gw.root.write_wifi_mode(mode);
        std::string out, err;
        EXPECT_EQ(run_zelmo({"-d", "1"}, &out, &err, 10000ms, gw.env()).exit_code, 1);
        EXPECT_EQ(err, "zelmo: already running (pid " + std::to_string(first->pid()) + ")\n");
        EXPECT_EQ(out, "");
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(gw.root.read_db(), db);
    EXPECT_EQ(gw.tools.calls("iptables").size(), iptables);
    EXPECT_EQ(lanhost.calls().size(), calls);
    EXPECT_EQ(gw.registration(), expected_registration(first->pid()));
    EXPECT_TRUE(first->running());

    // The killed daemon's pid stays in the lock file; it does not block a start.
    first->kill(SIGKILL);
    first->wait_exit(5000ms);
    DaemonProcess second({"-d", "1"}, gw.env());
    ASSERT_TRUE(second.wait_for_output(kStarted, 10000ms)) << second.stderr_text();
    EXPECT_EQ(gw.registration(), expected_registration(second.pid()));
}
