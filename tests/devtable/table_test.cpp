// Table operations and the database file they write.
#include "table_helpers.h"
#include "timers/timers.h"

#include <ctime>

// Field offsets are pinned by the record's static_asserts and FixedScenario's
// raw bytes; this checks what update_device stores and how it finds devices.
TEST_F(TableTest, UpdateStoresTheDeviceAndFindsItInAnyLetterCase)
{
    LanHostEntryObject entry = make_lanhost("aa:bb:cc:00:00:01", "192.168.1.77", "tv", "802.11ac");
    FingerprintData fp{};
    field_set(fp.http.UserAgent, "Mozilla/5.0");
    time_t before = time(nullptr);
    ASSERT_EQ(update_device("AA:BB:CC:00:00:01", REPORT_DISCOVERY, STATUS_ACTIVE, FP_HTTP, REPORT_REPORTED, 1,
                            &entry, &fp, "Reachable", nullptr),
              0);
    DbImage db = parse_db(gw.read_db());
    ASSERT_TRUE(db.ok);
    ASSERT_EQ(db.records.size(), 1u);
    const DeviceRecord &saved = db.records[0];
    EXPECT_EQ(saved.DeviceState.get(), REPORT_DISCOVERY);
    EXPECT_EQ(saved.HostState.get(), REPORT_REPORTED);
    EXPECT_GE(saved.LastReportedTimeSec.get(), int64_t(before));
    EXPECT_EQ(memcmp(&saved.lanHostEntry, &entry, sizeof entry), 0);
    EXPECT_STREQ(saved.L3Status, "Reachable");
    EXPECT_STREQ(saved.InterfaceStatus, "Disassociated"); // none given
    EXPECT_EQ(memcmp(&saved.fingerprintData, &fp, sizeof fp), 0);

    // Found in other letter case; a missing L3Status resets the field, the
    // stored texts passed back in are kept.
    int index = -1;
    EXPECT_EQ(is_newdevice("Aa:Bb:Cc:00:00:01", &index), 0u);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(is_newdevice("aa:bb:cc:00:00:02", nullptr), 1u);
    DeviceRecord &d = _g_devices[0];
    ASSERT_EQ(update_device("aa:bb:cc:00:00:01", REPORT_REPORTED, 0, FP_HTTP, 0, 0, nullptr, nullptr, nullptr,
                            d.InterfaceStatus),
              0);
    EXPECT_STREQ(d.L3Status, "Not Reachable");
    EXPECT_STREQ(d.InterfaceStatus, "Disassociated");
    EXPECT_EQ(d.DeviceState.get(), REPORT_REPORTED);
    EXPECT_EQ(update_device("", 0, 0, 0, 0, 1, &entry, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(_g_device_count, 1);
}

TEST_F(TableTest, FullTableEvictsOldestRemovedOrRefuses)
{
    for (int i = 0; i < MAX_DEVICES; ++i)
        add(test_mac(i), STATUS_ACTIVE, 100);
    LanHostEntryObject fresh = make_lanhost(test_mac(999));
    EXPECT_EQ(update_device(test_mac(999).c_str(), 0, STATUS_ACTIVE, FP_NONE, 0, 1, &fresh, nullptr, "", ""),
              -1);
    EXPECT_EQ(_g_device_count, MAX_DEVICES);
    EXPECT_FALSE(file_exists(gw.db_path()));

    // Equal seconds: the lower index wins, whatever the microseconds.
    _g_devices[20].Status.set(STATUS_REMOVED);
    _g_devices[10].Status.set(STATUS_REMOVED);
    _g_devices[30].Status.set(STATUS_REMOVED);
    _g_devices[30].LastReportedTimeSec.set(500);
    _g_devices[10].LastReportedTimeUsec.set(999999);
    EXPECT_EQ(get_oldest_removed_device(), 10);
    ASSERT_EQ(update_device(test_mac(999).c_str(), 0, STATUS_ACTIVE, FP_NONE, 0, 1, &fresh, nullptr, "", ""),
              0);
    EXPECT_EQ(_g_device_count, MAX_DEVICES);
    EXPECT_EQ(mac_at(10), test_mac(255));
    EXPECT_EQ(mac_at(255), test_mac(999));
    EXPECT_EQ(is_newdevice(test_mac(10).c_str(), nullptr), 1u);
    EXPECT_EQ(parse_db(gw.read_db()).records.size(), size_t(MAX_DEVICES));

    // The signed comparison lets a time before 1970 win.
    _g_devices[200].Status.set(STATUS_REMOVED);
    _g_devices[200].LastReportedTimeSec.set(-5);
    EXPECT_EQ(get_oldest_removed_device(), 200);
}

TEST_F(TableTest, RemovalCompactsAndResetClearsTimersAndSendsTheTable)
{
    PrivateBus bus;
    RecordingLanHost lanhost;
    for (int i = 0; i < 10; ++i)
        add(test_mac(i)).TimerStage.set(i % 4);
    DeviceRecord last = _g_devices[9];
    uint32_t timer = 0;
    ASSERT_EQ(zelmo_createTimer(&timer), 0);
    _g_devices[3].timer.set(timer);
    EXPECT_EQ(remove_old_device_by_index(-1), -1);
    EXPECT_EQ(remove_old_device_by_index(10), -1);
    EXPECT_EQ(_g_device_count, 10);
    ASSERT_EQ(remove_old_device_by_index(3), 0);
    EXPECT_EQ(zelmo_deleteTimer(timer), -1); // the victim's timer went with it
    EXPECT_EQ(_g_device_count, 9);
    EXPECT_EQ(memcmp(&_g_devices[3], &last, sizeof last), 0);
    DeviceRecord zero{};
    EXPECT_EQ(memcmp(&_g_devices[9], &zero, sizeof zero), 0);
    ASSERT_EQ(remove_old_device_by_index(8), 0);
    EXPECT_EQ(memcmp(&_g_devices[8], &zero, sizeof zero), 0);
    EXPECT_EQ(parse_db(gw.read_db()).records.size(), 8u);

    // Start-up reset: timers cleared, every device Removed and due for
    // reporting, saved and sent whole to the LAN host daemon.
    _g_devices[2].L3Status[0] = '\0';
    _g_devices[2].InterfaceStatus[0] = '\0';
    clear_all_timers();
    DbImage db = parse_db(gw.read_db());
    ASSERT_EQ(db.records.size(), 8u);
    ASSERT_TRUE(lanhost.wait_for("notifySyncAllDevices", 1, 5s));
    Bytes all = lanhost.calls("notifySyncAllDevices")[0].bytes();
    ASSERT_EQ(all.size(), 1262601u); // the zero tail is checked by FixedScenario
    EXPECT_EQ(load_le32(all.data()), 8u);
    EXPECT_EQ(memcmp(all.data() + 4, _g_devices, 8 * sizeof(DeviceRecord)), 0);
    for (const DeviceRecord &r : db.records) {
        EXPECT_EQ(r.Status.get(), STATUS_REMOVED);
        EXPECT_EQ(r.HostState.get(), REPORT_REPORTING);
        EXPECT_EQ(r.timer.get(), 0u);
        EXPECT_EQ(r.TimerStage.get(), 0);
    }
    EXPECT_STREQ(db.records[2].L3Status, "Not Reachable");
    EXPECT_STREQ(db.records[2].InterfaceStatus, "Disassociated");
    EXPECT_STREQ(db.records[1].L3Status, "Reachable");

    // An empty table at start-up sends nothing.
    ASSERT_EQ(devtable_alloc(), 0);
    clear_all_timers();
    EXPECT_FALSE(lanhost.wait_for("notifySyncAllDevices", 2, 300ms));
}

TEST_F(TableTest, LanHostEntryCompletedFromConfigurationStore)
{
    gw.write_lanhost(make_lanhost(test_mac(1), "192.168.1.20", "phone", "Ethernet", 3));
    gw.write_lanhost(make_lanhost(test_mac(0xab), "192.168.1.21", "laptop", "Ethernet", 7));
    add(test_mac(0xab));
    field_set(_g_devices[0].lanHostEntry.GuestDevice, "true");

    LanHostEntryObject entry{};
    std::string upper = test_mac(0xab);
    for (char &c : upper)
        c = char(toupper(c));
    field_set(entry.MACAddress, upper.c_str());
    field_set(entry.InterfaceType, "802.11ax");
    ASSERT_EQ(getLanHostEntryObject(&entry), 0);
    EXPECT_STREQ(entry.HostName, "laptop");
    EXPECT_EQ(entry.instanceId.inst[1].get(), 7u);
    EXPECT_STREQ(entry.InterfaceType, "802.11ax");
    EXPECT_STREQ(entry.GuestDevice, "true");

    LanHostEntryObject unknown{};
    field_set(unknown.MACAddress, test_mac(3).c_str());
    LanHostEntryObject copy = unknown;
    EXPECT_EQ(getLanHostEntryObject(&unknown), -1);
    EXPECT_EQ(memcmp(&unknown, &copy, sizeof copy), 0);
}
