// The bus is absent when the daemon starts, comes up later and is restarted
// while the daemon runs. Without a bus the message service is still served
// and every change saved; once the bus is there the LAN host daemon hears of
// changes again and the sibling daemons' signals are handled again, also
// after the bus daemon was restarted.
#include "hardening_env.h"

#include <optional>

namespace
{

// Emits a setLanhostEntry for the host until the database holds its host
// name: the daemon hears signals again once its bus thread is back.
bool signal_reaches_daemon(const GatewayRoot &root, RecordingLanHost &lanhost, unsigned host,
                           const std::string &hostname)
{
    const Bytes payload = to_bytes(make_lanhost_update(
        make_lanhost(test_mac(host), "192.168.1." + std::to_string(host), hostname), STATUS_ACTIVE));
    return wait_until(
        [&] {
            lanhost.emit("setLanhostEntry", payload);
            return holds(root, host, hostname);
        },
        20000ms, 500ms);
}

} // namespace

TEST(FaultBus, AbsentAndRestartedBusCostNoChangeAndNoSignal)
{
    GatewayRoot root;
    ToolStandIns tools;
    prepare_gateway(root, tools);
    std::optional<PrivateBus> bus;
    std::optional<RecordingLanHost> lanhost;
    DaemonProcess zelmo({"-d", "1"}, {tools.path_env()});

    // No bus: logged, and the message service is served all the same.
    ASSERT_TRUE(wait_until([&] { return send_host_update(1, "nobus"); }, 5000ms));
    ASSERT_TRUE(wait_until([&] { return stored_hosts(root.read_db()).size() == 1; }, 5000ms))
        << zelmo.stderr_text();
    EXPECT_TRUE(zelmo.wait_for_output("cannot connect to the system bus", 5000ms)) << zelmo.stderr_text();

    // The bus comes up: notifications reach the LAN host daemon, signals the daemon.
    bus.emplace();
    lanhost.emplace();
    ASSERT_TRUE(send_host_update(2, "withbus"));
    EXPECT_TRUE(lanhost->wait_for("notifyDeviceAdded", 1, 5000ms)) << zelmo.stderr_text();
    EXPECT_TRUE(signal_reaches_daemon(root, *lanhost, 3, "signal-after-start")) << zelmo.stderr_text();

    // The bus daemon restarts: every connection to it is dropped.
    lanhost.reset();
    bus->restart();
    lanhost.emplace();
    ASSERT_TRUE(send_host_update(1, "after-restart"));
    EXPECT_TRUE(lanhost->wait_for("notifyDeviceStatusChange", 1, 5000ms)) << zelmo.stderr_text();
    EXPECT_TRUE(signal_reaches_daemon(root, *lanhost, 4, "signal-after-restart")) << zelmo.stderr_text();

    const Hosts expected{{test_mac(1), "after-restart"},
                         {test_mac(2), "withbus"},
                         {test_mac(3), "signal-after-start"},
                         {test_mac(4), "signal-after-restart"}};
    EXPECT_EQ(stored_hosts(root.read_db()), expected);
    EXPECT_TRUE(zelmo.running());
}
