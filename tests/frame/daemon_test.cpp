// The real zelmo binary under a temporary gateway root: options, identity
// and mode from the configuration store, registration with the daemon
// monitor, the root-mode reset, the message channels and the log controls.
#include "fixture/fixture.h"
#include "frame/capture.h"
#include "frame/http_sink.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

namespace
{

const std::string kStarted = "ZELMO process started...!!!";
const std::string kInvalid = "[zelmo] Invalid IPC msg type";
const std::string kUnsupported = "unsupported msg to Zelmo";
const std::string kWaiting = "======== Waiting for msg in main thread";
constexpr uint32_t kUnknownCsMsgType = 0x10002700;

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

// Log-control payload: 64-byte name, then the u32 value.
Bytes log_control(const std::string &name, uint32_t value, size_t length = 68)
{
    Bytes payload(68, 0);
    memcpy(payload.data(), name.data(), name.size());
    store_le32(payload.data() + 64, value);
    payload.resize(length);
    return payload;
}

// Emits a set-critical-device signal, which the main thread logs at level 3
// as an invalid type, and waits for the count-th such line: a marker that
// every earlier bus signal has been handled.
bool bus_marker(BusClient &bus, const DaemonProcess &daemon, size_t count)
{
    return bus.emit_signal("arvex.httpd", "setCriticalDevice", Bytes(8, 0)) &&
           daemon.wait_for_output(kInvalid, 5000ms, count);
}

// Waits until the daemon's bus thread serves its method interface: from
// then on its signal subscriptions are in place.
bool wait_bus_service(BusClient &bus)
{
    return wait_until(
        [&] {
            MethodReply reply =
                bus.call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "arvex.kvx.zelmo", "noSuchMethod");
            return reply.error == "org.freedesktop.DBus.Error.UnknownMethod";
        },
        10000ms, 50ms);
}

} // namespace

TEST(DaemonStartup, UsageForHelpUnknownOptionsAndMissingArguments)
{
    Gateway gw;
    const std::string usage =
        "usage:- " + DaemonProcess::binary() +
        " -f <devices db> -s <serial> -o <oui>  -m <model> -d <debug> -l <devices db>\n";
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"-h"}, {"-x"}, {"-s", "SERIAL", "-q"}, {"-f"}, {"-n", "0", "-h", "-f", "x"}}) {
        std::string out, err;
        ProcessEnd end = run_zelmo(args, &out, &err, 10000ms, gw.env());
        EXPECT_EQ(end.exit_code, 1) << args[0];
        EXPECT_NE(err.find(usage), std::string::npos) << err;
    }
    // None of them got as far as registering.
    EXPECT_FALSE(file_exists(gw.root.file("/tmp/daemon/zelmo.dm")));
}

TEST(DaemonStartup, ShortDumpOfTheGivenFileExitsAtOnceWhateverFollows)
{
    Gateway gw;
    std::string other = gw.root.file("/other.db");
    gw.root.write_db({make_record(test_mac(0x21)), make_record(test_mac(0x22))}, other);
    std::string out, err;
    ProcessEnd end = run_zelmo({"-l", other, "-x", "-n", "0", "-h"}, &out, &err, 10000ms, gw.env());
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_NE(err.find("MACAddress  HostState  DeviceState  Status  LastReportedTime  Type  Data\n"),
              std::string::npos);
    EXPECT_NE(err.find(test_mac(0x21) + "  Reported "), std::string::npos) << err;
    EXPECT_NE(err.find(test_mac(0x22)), std::string::npos);
    EXPECT_FALSE(file_exists(gw.root.db_path()));
    EXPECT_FALSE(file_exists(gw.root.file("/tmp/daemon/zelmo.dm")));
    EXPECT_TRUE(gw.tools.calls("iptables").empty());
}

TEST(DaemonStartup, RootModeResetsTheTableRegistersAndTakesIdentityFromConfiguration)
{
    Gateway gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    HttpSink cloud;
    const std::string long_serial = "SN0123456789012345678901234567890123456789";
    gw.root.write_device_info("00D0CF", "FibreBox", long_serial);
    gw.root.write_wifi_mode("RGW");
    gw.root.write_http_profile(cloud.url("/report"));
    DeviceRecord stale = make_record(test_mac(1));
    stale.timer.set(77);
    stale.TimerStage.set(2);
    gw.root.write_db({stale, make_record(test_mac(2))});
    // A registration left by an earlier run is replaced, not appended to.
    ASSERT_EQ(mkdir(gw.root.file("/tmp/daemon").c_str(), 0777), 0);
    write_file(gw.root.file("/tmp/daemon/zelmo.dm"), "old\nold\nold\nold\nold\nold\nold\n");

    // -n 0 loses against the configuration's "RGW"; -s and -o against its identity.
    DaemonProcess daemon({"-n", "0", "-s", "CMDSERIAL", "-o", "CMDOUI", "-d", "1"}, gw.env());
    ASSERT_TRUE(daemon.wait_for_output(kStarted, 10000ms)) << daemon.stderr_text();
    EXPECT_NE(daemon.stdout_text().find("Started Zelmo Process"), std::string::npos);
    EXPECT_EQ(daemon.stdout_text().find("Extender"), std::string::npos);
    EXPECT_EQ(gw.registration(), expected_registration(daemon.pid()));

    // Every stored device is Removed with no timer, written back and sent whole.
    DbImage db = parse_db(gw.root.read_db());
    ASSERT_TRUE(db.ok);
    ASSERT_EQ(db.records.size(), 2u);
    for (const DeviceRecord &r : db.records) {
        EXPECT_EQ(r.Status.get(), STATUS_REMOVED);
        EXPECT_EQ(r.timer.get(), 0u);
        EXPECT_EQ(r.TimerStage.get(), 0);
    }
    ASSERT_TRUE(lanhost.wait_for("notifySyncAllDevices", 1, 5000ms));
    Bytes sync = lanhost.calls("notifySyncAllDevices")[0].bytes();
    ASSERT_GE(sync.size(), 4 + 2 * sizeof(DeviceRecord));
    EXPECT_EQ(load_le32(sync.data()), 2u);
    DeviceRecord first;
    memcpy(&first, sync.data() + 4, sizeof first);
    EXPECT_EQ(std::string(first.lanHostEntry.MACAddress), test_mac(1));
    EXPECT_EQ(first.Status.get(), STATUS_REMOVED);

    // The full dump went to standard error, the capture chain was prepared.
    EXPECT_NE(daemon.stderr_text().find(std::string(83, '+') + "\n"), std::string::npos);
    std::vector<std::string> iptables = gw.tools.calls("iptables");
    auto created = std::find_if(iptables.begin(), iptables.end(), [](const std::string &c) {
        return c.find("-N PREROUTING_USERAGENT") != std::string::npos;
    });
    auto flushed = std::find_if(iptables.begin(), iptables.end(), [](const std::string &c) {
        return c.find("-F PREROUTING_USERAGENT") != std::string::npos;
    });
    EXPECT_TRUE(created != iptables.end() && flushed != iptables.end() && created < flushed);

    // A host update through the message service is uploaded with the
    // configured identity (each text cut to 31 characters).
    ASSERT_TRUE(send_message(make_host_update_message(make_lanhost(test_mac(3)), STATUS_ACTIVE)));
    ASSERT_TRUE(wait_until([&] { return !cloud.request_lines().empty(); }, 5000ms));
    EXPECT_EQ(cloud.request_lines()[0],
              "POST /report?oui=00D0CF&pc=FibreBox&sn=" + long_serial.substr(0, 31) + " HTTP/1.1");
    EXPECT_EQ(daemon.count_output("======= DEVICE FINGER PRINT INFO RECEIVED ======="), 1u);

    // A fingerprint datagram far shorter than a device update is handled
    // without reading past what arrived.
    CsMsgHeader header{};
    header.type.set(CSMSG_TYPE_DEVICE_UPDATE);
    header.payloadLength.set(8);
    Bytes datagram = to_bytes(header);
    datagram.insert(datagram.end(), {1, 0, 0, 0, 1, 0, 0, 0});
    ASSERT_TRUE(send_datagram(datagram));
    EXPECT_TRUE(daemon.wait_for_output("======= DEVICE FINGER PRINT INFO RECEIVED =======", 5000ms, 2));

    // Five seconds after start the health check asks the LAN host daemon for all its devices.
    EXPECT_TRUE(lanhost.wait_for("UpdateZelmoDevice", 1, 8000ms));
    EXPECT_TRUE(daemon.running());
}

TEST(DaemonStartup, ConfigurationDecidesTheModeAndCommandLineOnlyWhenUnreadable)
{
    // Extender by configuration, although -n defaults to root.
    {
        Gateway gw;
        PrivateBus bus;
        gw.root.write_device_info("OUI", "Model", "Serial");
        gw.root.write_wifi_mode("EXT");
        DaemonProcess daemon({"-d", "1"}, gw.env());
        ASSERT_TRUE(daemon.wait_for_output(kStarted, 10000ms)) << daemon.stderr_text();
        EXPECT_NE(daemon.stdout_text().find("Started Zelmo Proces in Extender Mode"), std::string::npos);
        EXPECT_EQ(daemon.count_output("Extender Mode Process_Message"), 1u);
        EXPECT_EQ(gw.registration(), expected_registration(daemon.pid()));
        // No table: the database is neither read nor written, the chain not touched.
        EXPECT_FALSE(file_exists(gw.root.db_path()));
        EXPECT_TRUE(gw.tools.calls("iptables").empty());
        // Only the local pipe is watched: a message-service message stays unread.
        ASSERT_TRUE(send_csmsg(kUnknownCsMsgType, 0, {}));
        BusClient client;
        ASSERT_TRUE(wait_bus_service(client));
        ASSERT_TRUE(bus_marker(client, daemon, 1));
        EXPECT_EQ(daemon.count_output(kUnsupported), 0u);
    }
    // Nothing readable: -n 0 selects extender mode.
    {
        Gateway gw;
        DaemonProcess daemon({"-n", "0", "-d", "1"}, gw.env());
        ASSERT_TRUE(daemon.wait_for_output(kStarted, 10000ms)) << daemon.stderr_text();
        EXPECT_EQ(daemon.count_output("Failed to get IGDDeviceInfoObject, ret="), 1u);
        EXPECT_EQ(daemon.count_output("Failed to get WifiServiceObject"), 0u);
        EXPECT_NE(daemon.stdout_text().find("Extender Mode"), std::string::npos);
    }
    // Identity readable, Wi-Fi service not: -n still decides (here the default, root).
    {
        Gateway gw;
        DaemonProcess daemon({"-d", "1"}, gw.env());
        gw.root.write_device_info("OUI", "Model", "Serial");
        ASSERT_TRUE(daemon.wait_for_output(kStarted, 10000ms)) << daemon.stderr_text();
        EXPECT_EQ(daemon.count_output("Failed to get WifiServiceObject, ret="), 1u);
        EXPECT_NE(daemon.stdout_text().find("Started Zelmo Process"), std::string::npos);
        EXPECT_TRUE(file_exists(gw.root.db_path()));
    }
}

TEST(DaemonStartup, FatalStartupFailuresEndWithStatus255)
{
    {
        // The message service cannot be opened.
        Gateway gw;
        ASSERT_EQ(mkdir(gw.root.file("/var").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(gw.root.file("/var/run").c_str(), 0755), 0);
        write_file(gw.root.file("/var/run/csmsg"), "not a directory");
        std::string out, err;
        ProcessEnd end = run_zelmo({"-d", "1"}, &out, &err, 10000ms, gw.env());
        EXPECT_EQ(end.exit_code, 255);
        EXPECT_NE(err.find("[ZELMO]csmsg_init() failed in Zelmo"), std::string::npos) << err;
        EXPECT_EQ(err.find(kStarted), std::string::npos);
    }
    {
        // Root mode without a usable database file.
        Gateway gw;
        std::string out, err;
        ProcessEnd end = run_zelmo({"-d", "1", "-f", gw.root.file("/missing/dir/devices.db")}, &out, &err,
                                   10000ms, gw.env());
        EXPECT_EQ(end.exit_code, 255);
        EXPECT_NE(err.find("File operators are NOK"), std::string::npos) << err;
        EXPECT_TRUE(gw.tools.calls("iptables").empty());
    }
}

TEST(DaemonMessages, LogLevelAndDestinationFromBusAndMessageService)
{
    Gateway gw;
    PrivateBus bus;
    BusClient client;
    gw.root.write_device_info("OUI", "Model", "Serial");
    gw.root.write_wifi_mode("RGW");
    // Without -d the log goes to syslog: nothing of it on standard error.
    DaemonProcess daemon({}, gw.env());
    ASSERT_TRUE(wait_bus_service(client));

    // Destination changes addressed elsewhere or of the wrong size are ignored.
    ASSERT_TRUE(client.emit_signal("arvex.log.config", "setLogDestination", log_control("zelmo", 1, 67)));
    ASSERT_TRUE(client.emit_signal("any.sender", "setLogDestination", log_control("lanhostd", 1)));
    ASSERT_TRUE(client.emit_signal("any.sender", "setLogDestination", log_control("zelmo", 1)));
    ASSERT_TRUE(bus_marker(client, daemon, 1)) << daemon.stderr_text();
    EXPECT_EQ(daemon.count_output(kInvalid), 1u);
    // Each served message is followed by a waiting line: only the last
    // destination change and the marker were served on standard error.
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(daemon.count_output(kWaiting), 2u);

    // Level 3 from the bus silences the level-6 lines of the main loop.
    ASSERT_TRUE(client.emit_signal("arvex.log.config", "setLogLevel", log_control("zelmo", 3)));
    ASSERT_TRUE(bus_marker(client, daemon, 2));
    size_t waiting = daemon.count_output(kWaiting);
    ASSERT_TRUE(client.emit_signal("arvex.log.config", "setLogLevel", log_control("zelmo", 6, 69)));
    ASSERT_TRUE(client.emit_signal("arvex.log.config", "setLogLevel", log_control("zelmox", 6)));
    ASSERT_TRUE(bus_marker(client, daemon, 3));
    EXPECT_EQ(daemon.count_output(kWaiting), waiting);
    ASSERT_TRUE(client.emit_signal("arvex.log.config", "setLogLevel", log_control("zelmo", 6)));
    ASSERT_TRUE(bus_marker(client, daemon, 4));
    EXPECT_GT(daemon.count_output(kWaiting), waiting);

    // The message service's level request; it is served before a bus
    // message that arrives after it.
    ASSERT_TRUE(send_csmsg(kUnknownCsMsgType, 0, {}));
    ASSERT_TRUE(daemon.wait_for_output(kUnsupported, 5000ms, 1));
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 3, {}));
    ASSERT_TRUE(daemon.wait_for_output("changing Log level 3", 5000ms));
    ASSERT_TRUE(send_csmsg(kUnknownCsMsgType, 0, {}));
    ASSERT_TRUE(bus_marker(client, daemon, 5));
    EXPECT_EQ(daemon.count_output(kUnsupported), 1u);
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 6, {}));
    ASSERT_TRUE(send_csmsg(kUnknownCsMsgType, 0, {}));
    EXPECT_TRUE(daemon.wait_for_output(kUnsupported, 5000ms, 2));
    EXPECT_TRUE(daemon.running());
}
