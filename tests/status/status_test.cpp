// `zelmo status` and `zelmo show` on the real binary: the status of a daemon
// on a private bus with a real cloud sink and the iptables stand-in, the
// object's introspection, and the stored table as rows and as JSON.
#include "fixture/cloud_server.h"
#include "fixture/fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using Json = nlohmann::json;

namespace
{

constexpr char kStatus[] = "arvex.kvx.zelmo.Status";

LanHostEntryObject entry(unsigned n)
{
    return make_lanhost(test_mac(n), "192.168.1." + std::to_string(n), "host" + std::to_string(n));
}

bool has_line(const std::string &text, const std::string &line)
{
    return text.find(line + "\n") != std::string::npos;
}

TEST(Status, ReflectsUploadsSessionCaptureAndDroppedSignals)
{
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    CloudServer cloud;
    ToolStandIns tools;
    BusClient client;
    gw.write_wifi_mode("RGW");
    gw.write_http_profile(cloud.url());
    tools.add("iptables");
    // The redirect goes in one second after a device appears and stays ten minutes.
    DaemonProcess zelmo({"-d", "1", "-a", "1", "-r", "600"}, {tools.path_env()});
    ASSERT_TRUE(zelmo.wait_for_output("Waiting for msg in main thread", 5000ms)) << zelmo.output();
    auto status = [&] {
        MethodReply r = client.call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", kStatus, "GetStatus");
        return r.ok && r.reply.strings.size() == 1 ? Json::parse(r.reply.strings[0]) : Json();
    };
    ASSERT_TRUE(wait_until([&] { return status().is_object(); }, 5000ms)) << zelmo.output();

    ASSERT_TRUE(send_message(make_host_update_message(entry(1), STATUS_ACTIVE, "Reachable", "Associated")));
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 1, 5000ms)) << zelmo.output();
    ASSERT_TRUE(wait_until([&] { return status()["capture_redirects"].size() == 1; }, 5000ms)) << status();
    ASSERT_TRUE(client.emit_signal("arvex.cfgmgr", "notifySessionStart",
                                   to_bytes(std::string("Session_START timeout=300"))));
    ASSERT_TRUE(wait_until([&] { return status()["session"]["open"] == true; }, 5000ms)) << status();
    // A signal of a wrong signature from a subscribed interface is dropped.
    ASSERT_TRUE(client.emit_signal_with("arvex.lanhostd", "setLanhostEntry", [](DBusMessage *m) {
        const char *text = "not bytes";
        dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    }));
    // The cloud goes away: the next device's upload fails.
    gw.write_http_profile("http://127.0.0.1:9/report");
    ASSERT_TRUE(send_message(make_host_update_message(entry(2), STATUS_ACTIVE, "Reachable", "Associated")));
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceAdded", 2, 5000ms)) << zelmo.output();
    ASSERT_TRUE(wait_until([&] { return status()["uploads"]["failed"] == 1; }, 5000ms)) << status();

    std::string out, err;
    ASSERT_EQ(run_zelmo({"status", "--json"}, &out, &err).exit_code, 0) << err;
    Json s = Json::parse(out);
    EXPECT_EQ(s["pid"], zelmo.pid());
    EXPECT_EQ(s["mode"], "root");
    EXPECT_EQ(s["database"]["path"], gw.db_path());
    EXPECT_EQ(s["database"]["size"], 64 + 2 * 4932);
    EXPECT_EQ(s["devices"]["total"], 2);
    EXPECT_EQ(s["devices"]["by_status"]["Active"], 2);
    EXPECT_EQ(s["devices"]["by_host_state"]["Reported"], 1);
    EXPECT_EQ(s["devices"]["by_host_state"]["Reporting"], 1);
    EXPECT_EQ(s["cloud_reachable"], false);
    EXPECT_GT(s["session"]["seconds_left"], 290);
    EXPECT_LE(s["session"]["seconds_left"], 300);
    EXPECT_EQ(s["last_upload"]["form"], "Device.Hosts.Host.{i}.");
    EXPECT_EQ(s["last_upload"]["result"].get<std::string>().rfind("failed: ", 0), 0u) << s;
    // Device 1, the session's table upload and device 2.
    EXPECT_EQ(s["uploads"]["done"], 2) << s;
    EXPECT_EQ(s["uploads"]["failed"], 1);
    EXPECT_GE(s["saves"]["made"], 3);
    EXPECT_GE(s["saves"]["bytes_written"], 64 + 4932 + 2 * (64 + 2 * 4932));
    ASSERT_EQ(s["capture_redirects"].size(), 1u);
    EXPECT_EQ(s["capture_redirects"][0]["mac"], test_mac(1));
    EXPECT_GT(s["capture_redirects"][0]["seconds_left"], 590);
    // Two capture timers (one redirect in place, one about to be) and the session's.
    EXPECT_EQ(s["pending_timers"], 3);
    Json lanhostd, cfgmgr;
    for (const Json &sig : s["signals"]) {
        if (sig["interface"] == "arvex.lanhostd")
            lanhostd = sig;
        if (sig["interface"] == "arvex.cfgmgr")
            cfgmgr = sig;
    }
    EXPECT_EQ(lanhostd["dropped"], 1) << s;
    EXPECT_GE(lanhostd["received"], 1);
    EXPECT_EQ(cfgmgr["received"], 1) << s;
    EXPECT_EQ(cfgmgr["dropped"], 0);

    // The same items, one a line.
    ASSERT_EQ(run_zelmo({"status"}, &out, &err).exit_code, 0) << err;
    EXPECT_TRUE(has_line(out, "pid: " + std::to_string(zelmo.pid()) + ", mode: root")) << out;
    EXPECT_TRUE(has_line(out, "database: " + gw.db_path() + ", 9928 bytes")) << out;
    EXPECT_TRUE(has_line(out, "devices by Status: Inactive 0, Active 2, Removed 0, other 0")) << out;
    EXPECT_TRUE(has_line(out, "cloud reachable: no")) << out;
    EXPECT_TRUE(has_line(out, "uploads: 2 done, 1 failed")) << out;
    EXPECT_TRUE(
        has_line(out, "signals from arvex.lanhostd: " + lanhostd["received"].dump() + " received, 1 dropped"))
        << out;
    EXPECT_NE(out.find("session: open, "), std::string::npos) << out;
    EXPECT_NE(out.find("capture redirect: " + test_mac(1) + ", "), std::string::npos) << out;
    EXPECT_TRUE(has_line(out, "pending timers: 3")) << out;

    // GetDevices answers from the saved table.
    MethodReply devices = client.call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", kStatus, "GetDevices");
    ASSERT_TRUE(devices.ok) << devices.error;
    Json all = Json::parse(devices.reply.strings.at(0));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1]["lanHostEntry"]["HostName"], "host2");

    // Introspection lists both interfaces with their methods.
    MethodReply xml = client.call("arvex.kvx.zelmo", "/arvex/kvx/zelmo",
                                  "org.freedesktop.DBus.Introspectable", "Introspect");
    ASSERT_TRUE(xml.ok) << xml.error;
    for (const char *name : {"GetStatus", "GetDevices", "notifyDeviceAdded", "notifyDeviceCategoryInfo"})
        EXPECT_NE(xml.reply.strings.at(0).find(std::string("name=\"") + name + "\""), std::string::npos)
            << name;
    ProcessEnd busctl = run_program(
        {"busctl", "--address=" + test_bus_address(), "introspect", "arvex.kvx.zelmo", "/arvex/kvx/zelmo"},
        &out, &err);
    if (busctl.exit_code == -1 && busctl.ended == false) {
        std::cerr << "busctl not available: " << err << "\n";
    } else {
        ASSERT_EQ(busctl.exit_code, 0) << err;
        EXPECT_NE(out.find(".GetStatus"), std::string::npos) << out;
        EXPECT_NE(out.find(".GetDevices"), std::string::npos) << out;
        EXPECT_NE(out.find(".notifyDeviceAdded"), std::string::npos) << out;
    }

    // No daemon: "not running", status 3.
    zelmo.stop();
    EXPECT_EQ(run_zelmo({"status"}, &out, &err).exit_code, 3);
    EXPECT_EQ(err, "zelmo: not running\n");
}

} // namespace
