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

namespace
{

// Every named field of three records, each of its own value; the host names
// hold quotes and backslashes, control characters, and bytes that are not UTF-8.
std::vector<DeviceRecord> hostile_table()
{
    std::vector<DeviceRecord> t = {make_record(entry(1)), make_record(entry(2)), make_record(entry(3))};
    const char *names[3] = {"say \"hi\" \\ back\\slash",
                            "a\x01"
                            "b\tc\nd\x1f"
                            "e\x7f",
                            "bad\xff\xfe-name\xc3"};
    int32_t n = 100;
    for (int i = 0; i < 3; ++i) {
        DeviceRecord &r = t[size_t(i)];
        for (le_i32 *v :
             {&r.DeviceState, &r.Status, &r.LastReportedTimeSec, &r.LastReportedTimeUsec, &r.Port,
              &r.lanHostEntry.LeaseTimeRemaining, &r.lanHostEntry.HostActive, &r.lanHostEntry.BehindQuillo,
              &r.HostState, &r.TimerStage, &r.Critical, &r.CriticalSetInterface, &r.HDDState})
            v->set(++n);
        r.timer.set(uint32_t(++n));
        r.lanHostEntry.instanceId = make_instance(2, {1, uint32_t(++n)});
        r.DeviceState.set(REPORT_REPORTED);
        r.Status.set(i);
        r.HostState.set(i == 2 ? 9 : REPORT_REPORTING);
        r.LastReportedTimeSec.set(1700000000 + i);
        r.LastReportedTimeUsec.set(i == 0 ? 7 : 0);
        r.FingerprintType.set(FP_UPNP + i);
        strcpy(r.lanHostEntry.HostName, names[i]);
        for (auto [field, size, text] :
             {std::tuple{r.lanHostEntry.AddressSource, sizeof r.lanHostEntry.AddressSource, "Static"},
              {r.lanHostEntry.VendorClassID, sizeof r.lanHostEntry.VendorClassID, "vendor"},
              {r.lanHostEntry.FriendlyName, sizeof r.lanHostEntry.FriendlyName, "friend"},
              {r.lanHostEntry.GuestDevice, sizeof r.lanHostEntry.GuestDevice, "true"},
              {r.Option55, sizeof r.Option55, "1,3,6,15"}})
            snprintf(field, size, "%s%d", text, i);
    }
    UPnPData &u = t[0].fingerprintData.upnp;
    for (char *f :
         {u.DeviceType, u.Manufacturer, u.ModelName, u.ModelNumber, u.SerialNumber, u.UDN, u.AdditionalInfo})
        sprintf(f, "upnp%d", ++n);
    MDNSData &m = t[1].fingerprintData.mdns;
    for (char *f : {m.Manufacturer, m.Model, m.UUID})
        sprintf(f, "mdns%d", ++n);
    strcpy(t[2].fingerprintData.http.VendorID, "MSFT 5.0");
    strcpy(t[2].fingerprintData.http.UserAgent, "Mozilla/5.0 \"x\"");
    return t;
}

TEST(Show, RowsAndJsonOfTheStoredTable)
{
    GatewayRoot gw;
    const std::vector<DeviceRecord> table = hostile_table();
    gw.write_db(table);
    const Bytes stored = gw.read_db();

    // JSON that Python's json module reads as strict UTF-8; its own output is
    // then compared field by field with the records.
    std::string out, err;
    ASSERT_EQ(run_zelmo({"show", "--json"}, &out, &err).exit_code, 0) << err;
    const std::string json_path = gw.path() + "/show.json";
    write_file(json_path, out);
    std::string python;
    ASSERT_EQ(run_program({"python3", "-c",
                           "import json,sys; json.dump(json.load(open(sys.argv[1], encoding='utf-8', "
                           "errors='strict')), sys.stdout)",
                           json_path},
                          &python, &err)
                  .exit_code,
              0)
        << err << out;
    const Json all = Json::parse(python);
    ASSERT_EQ(all.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const DeviceRecord &r = table[i];
        const Json &j = all[i];
        const LanHostEntryObject &e = r.lanHostEntry;
        for (auto [key, value] : std::vector<std::pair<const char *, int64_t>>{
                 {"/DeviceState", r.DeviceState.get()},
                 {"/Status", r.Status.get()},
                 {"/LastReportedTimeSec", r.LastReportedTimeSec.get()},
                 {"/LastReportedTimeUsec", r.LastReportedTimeUsec.get()},
                 {"/Port", r.Port.get()},
                 {"/lanHostEntry/ObjectId", e.ObjectId.get()},
                 {"/lanHostEntry/InstanceDepth", e.instanceId.depth},
                 {"/lanHostEntry/Instance/1", e.instanceId.inst[1].get()},
                 {"/lanHostEntry/LeaseTimeRemaining", e.LeaseTimeRemaining.get()},
                 {"/lanHostEntry/HostActive", e.HostActive.get()},
                 {"/lanHostEntry/BehindQuillo", e.BehindQuillo.get()},
                 {"/HostState", r.HostState.get()},
                 {"/FingerprintType", r.FingerprintType.get()},
                 {"/timer", r.timer.get()},
                 {"/TimerStage", r.TimerStage.get()},
                 {"/Critical", r.Critical.get()},
                 {"/CriticalSetInterface", r.CriticalSetInterface.get()},
                 {"/HDDState", r.HDDState.get()}})
            EXPECT_EQ(j.at(Json::json_pointer(key)), value) << i << key;
        for (auto [key, value] : std::vector<std::pair<const char *, std::string>>{
                 {"/DeviceStateName", "Reported"},
                 {"/StatusName", status_name(r.Status.get())},
                 {"/HostStateName", i == 2 ? "" : "Reporting"},
                 {"/FingerprintTypeName", fingerprint_type_name(r.FingerprintType.get())},
                 {"/lanHostEntry/IPAddress", e.IPAddress},
                 {"/lanHostEntry/AddressSource", e.AddressSource},
                 {"/lanHostEntry/MACAddress", e.MACAddress},
                 {"/lanHostEntry/VendorClassID", e.VendorClassID},
                 {"/lanHostEntry/InterfaceType", e.InterfaceType},
                 {"/lanHostEntry/FriendlyName", e.FriendlyName},
                 {"/lanHostEntry/GuestDevice", e.GuestDevice},
                 {"/Option55", r.Option55},
                 {"/L3Status", r.L3Status},
                 {"/InterfaceStatus", r.InterfaceStatus}})
            EXPECT_EQ(j.at(Json::json_pointer(key)), value) << i << key;
    }
    EXPECT_EQ(all[0]["LastReportedTime"], "2023-11-14T22:13:20.000007Z");
    EXPECT_EQ(all[1]["LastReportedTime"], "2023-11-14T22:13:21Z");
    EXPECT_EQ(all[0]["lanHostEntry"]["HostName"], "say \"hi\" \\ back\\slash");
    EXPECT_EQ(all[1]["lanHostEntry"]["HostName"], "a\x01"
                                                  "b\tc\nd\x1f"
                                                  "e\x7f");
    // Bytes that are not UTF-8 come back as U+FFFD, one for each.
    EXPECT_EQ(all[2]["lanHostEntry"]["HostName"], "bad\uFFFD\uFFFD-name\uFFFD");
    const UPnPData &u = table[0].fingerprintData.upnp;
    EXPECT_EQ(all[0]["fingerprintData"], Json({{"DeviceType", u.DeviceType},
                                               {"Manufacturer", u.Manufacturer},
                                               {"ModelName", u.ModelName},
                                               {"ModelNumber", u.ModelNumber},
                                               {"SerialNumber", u.SerialNumber},
                                               {"UDN", u.UDN},
                                               {"AdditionalInfo", u.AdditionalInfo}}));
    const MDNSData &m = table[1].fingerprintData.mdns;
    EXPECT_EQ(all[1]["fingerprintData"],
              Json({{"Manufacturer", m.Manufacturer}, {"Model", m.Model}, {"UUID", m.UUID}}));
    EXPECT_EQ(all[2]["fingerprintData"],
              Json({{"VendorID", "MSFT 5.0"}, {"UserAgent", "Mozilla/5.0 \"x\""}}));

    // One aligned row per device, each on one line.
    ASSERT_EQ(run_zelmo({"show"}, &out, &err).exit_code, 0) << err;
    std::vector<std::string> rows;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        rows.push_back(out.substr(start, end - start));
    ASSERT_EQ(rows.size(), 4u) << out;
    EXPECT_EQ(rows[0].rfind("MAC ", 0), 0u) << out;
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(rows[i].rfind(test_mac(unsigned(i)), 0), 0u) << out;
        EXPECT_EQ(rows[i].find("192.168.1."), rows[0].find("IP")) << out;
        EXPECT_EQ(rows[i].find("Ethernet"), rows[0].find("INTERFACE")) << out;
    }
    EXPECT_NE(rows[2].find("a?b?c?d?e?"), std::string::npos) << out;
    EXPECT_NE(rows[3].find("Mozilla/5.0_\"x\""), std::string::npos) << out;

    // One device by its MAC in any case; an unknown one is an error.
    std::string upper = test_mac(2);
    for (char &c : upper)
        c = char(toupper(c));
    ASSERT_EQ(run_zelmo({"show", upper, "--json"}, &out, &err).exit_code, 0) << err;
    EXPECT_EQ(Json::parse(out).size(), 1u);
    EXPECT_EQ(Json::parse(out)[0]["lanHostEntry"]["MACAddress"], test_mac(2));
    EXPECT_EQ(run_zelmo({"show", test_mac(9)}, &out, &err).exit_code, 1);
    EXPECT_EQ(err, "zelmo: no device " + test_mac(9) + " in " + gw.db_path() + "\n");
    EXPECT_EQ(gw.read_db(), stored);

    // A file without a valid header: one line naming it, status 1, file untouched.
    gw.write_db_bytes(to_bytes(std::string("not a database")));
    EXPECT_EQ(run_zelmo({"show"}, &out, &err).exit_code, 1);
    EXPECT_EQ(err, "zelmo: " + gw.db_path() + ": not a zelmo database (record size header is not 4932)\n");
    EXPECT_EQ(gw.read_db(), to_bytes(std::string("not a database")));
}

TEST(CommandWordParsing, UnknownWordsAndWrongArgumentsNeverStartADaemon)
{
    GatewayRoot gw;
    gw.write_wifi_mode("RGW"); // a daemon started here would write the database at once
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{{"get"},
                                                                                      {"DUMPALL"},
                                                                                      {"dump", "x"},
                                                                                      {"show", "a", "b"},
                                                                                      {"status", "x"},
                                                                                      {"show", "--yaml"},
                                                                                      {"1"}}) {
        std::string out, err;
        ProcessEnd end = run_zelmo(args, &out, &err, 5000ms);
        EXPECT_EQ(end.exit_code, 2) << args[0];
        EXPECT_EQ(err.rfind("usage: zelmo ", 0), 0u) << args[0] << ": " << err;
        EXPECT_EQ(count_of(err, "\n"), 1u) << err;
        EXPECT_EQ(out, "") << args[0];
    }
    EXPECT_FALSE(file_exists(gw.db_path())); // no daemon ever started
}

} // namespace
