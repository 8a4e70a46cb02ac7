// A fixed scenario run through the real table operations, the database file
// and the LAN host notifications. Every byte it produces is pinned by the
// file and wire formats, whatever the host: the checks below look at raw
// bytes at fixed offsets, and with ZELMO_PORTABILITY_OUT set the produced
// bytes are also written there ("devices.db", "single.bin", "table.bin") so
// that runs on different architectures can be compared byte for byte.
#include "bus/notify.h"
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "fixture/fixture.h"
#include "frame/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace
{

constexpr size_t HEADER = 64;
constexpr size_t REC = DEVICE_RECORD_SIZE;

// Raw bytes at an offset, compared against a literal list.
Bytes bytes_at(const Bytes &b, size_t off, size_t n)
{
    if (off + n > b.size())
        return {};
    return Bytes(b.begin() + long(off), b.begin() + long(off + n));
}

std::string text_at(const Bytes &b, size_t off, size_t n)
{
    Bytes raw = bytes_at(b, off, n);
    std::string s(raw.begin(), raw.end());
    return s.substr(0, s.find('\0'));
}

// A LAN host entry whose integers have four different bytes and whose
// uninterpreted members carry a pattern, so that any swapped or shifted
// byte shows.
LanHostEntryObject patterned_entry(const std::string &mac, const std::string &ip, const std::string &type,
                                   uint32_t instance, int32_t lease, uint8_t seed)
{
    LanHostEntryObject e = make_lanhost(mac, ip, "host-" + mac.substr(15), type, instance);
    e.LeaseTimeRemaining.set(lease);
    e.HostActive.set(0x0a0b0c0d);
    e.BehindQuillo.set(1);
    field_set(e.VendorClassID, "MSFT 5.0");
    field_set(e.FriendlyName, "friendly");
    field_set(e.GuestDevice, "false");
    for (size_t i = 0; i < sizeof e.opaque_134; ++i)
        e.opaque_134[i] = uint8_t(seed + i * 7);
    for (size_t i = 0; i < sizeof e.opaque_905; ++i)
        e.opaque_905[i] = uint8_t(seed ^ i);
    for (size_t i = 0; i < sizeof e.opaque_1265; ++i)
        e.opaque_1265[i] = uint8_t(0xff - i);
    return e;
}

// The entry as a caller hands it to the configuration store lookup: the
// MAC address (and interface kind) only.
LanHostEntryObject lookup_entry(const std::string &mac, const char *type)
{
    LanHostEntryObject e{};
    field_set(e.MACAddress, mac.c_str());
    field_set(e.InterfaceType, type);
    return e;
}

void write_output(const char *name, const Bytes &bytes)
{
    const char *dir = getenv("ZELMO_PORTABILITY_OUT");
    if (dir != nullptr && dir[0] != '\0')
        write_file(std::string(dir) + "/" + name, bytes.data(), bytes.size());
}

// Builds the scenario's table: five devices entered through the table
// operations and the option 55 handler, one of them removed again.
void build_table(const GatewayRoot &gw)
{
    const std::string mac1 = "02:00:00:00:00:01", mac2 = "02:00:00:00:00:02", mac3 = "0a:1b:2c:3d:4e:5f";
    gw.write_lanhost(patterned_entry(mac1, "192.168.1.11", "Ethernet", 0x00010203, 0x01020304, 0x11));
    gw.write_lanhost(patterned_entry(mac2, "192.168.1.12", "802.11ax", 7, -5, 0x22));
    gw.write_lanhost(patterned_entry(mac3, "192.168.1.13", "Ethernet", 9, 3600, 0x33));

    // A wired host, completed from the configuration store.
    LanHostEntryObject e1 = lookup_entry(mac1, "Ethernet");
    ASSERT_EQ(getLanHostEntryObject(&e1), 0);
    ASSERT_EQ(update_device(mac1.c_str(), REPORT_NEW, STATUS_ACTIVE, FP_HOST, REPORT_REPORTED, 1, &e1,
                            nullptr, "Reachable", nullptr),
              0);

    // A Wi-Fi host with a UPnP description.
    LanHostEntryObject e2 = lookup_entry(mac2, "");
    ASSERT_EQ(getLanHostEntryObject(&e2), 0);
    FingerprintData upnp{};
    field_set(upnp.upnp.DeviceType, "urn:schemas-upnp-org:device:MediaRenderer:1");
    field_set(upnp.upnp.Manufacturer, "Acme");
    field_set(upnp.upnp.ModelName, "Speaker");
    field_set(upnp.upnp.ModelNumber, "S-100");
    field_set(upnp.upnp.SerialNumber, "0123456789");
    field_set(upnp.upnp.UDN, "uuid:00112233-4455-6677-8899-aabbccddeeff");
    field_set(upnp.upnp.AdditionalInfo, "extra");
    ASSERT_EQ(update_device(mac2.c_str(), REPORT_REPORTING, STATUS_ACTIVE, FP_UPNP, REPORT_REPORTING, 1, &e2,
                            &upnp, "Reachable", "Associated"),
              0);

    // A client first seen by its DHCP request (the handler prints the MAC in
    // capitals; the store holds it in small letters).
    const uint8_t opt55_new[] = {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 1, 3, 6, 15, 255, 119, 252, 0};
    ASSERT_EQ(zelmo_processNotifyDHCPOpt55(opt55_new, sizeof opt55_new), 0);

    // An mDNS device unknown to the store, then an HTTP one.
    LanHostEntryObject e4 = lookup_entry("02:00:00:00:00:04", "802.11n");
    FingerprintData mdns{};
    field_set(mdns.mdns.Manufacturer, "Printers Inc");
    field_set(mdns.mdns.Model, "P-9");
    field_set(mdns.mdns.UUID, "8899aabb-ccdd-eeff-0011-223344556677");
    ASSERT_EQ(update_device("02:00:00:00:00:04", REPORT_NODATA, STATUS_INACTIVE, FP_MDNS, REPORT_NEW, 1, &e4,
                            &mdns, nullptr, nullptr),
              0);
    LanHostEntryObject e5 = lookup_entry("02:00:00:00:00:05", "Ethernet");
    FingerprintData http{};
    field_set(http.http.VendorID, "android-dhcp-13");
    field_set(http.http.UserAgent, "Mozilla/5.0 (Linux; Android 13)");
    ASSERT_EQ(update_device("02:00:00:00:00:05", REPORT_REPORTED, STATUS_ACTIVE, FP_HTTP, REPORT_REPORTED, 1,
                            &e5, &http, "Reachable", "Disassociated"),
              0);

    // The mDNS device leaves; the last entry takes its slot.
    ASSERT_EQ(remove_old_device_by_index(3), 0);

    // The wired host changes and the Wi-Fi host gets an option 55 list.
    ASSERT_EQ(update_device("02:00:00:00:00:01", REPORT_DISCOVERY, STATUS_INACTIVE, FP_HOST, REPORT_REPORTING,
                            1, nullptr, nullptr, nullptr, "Disassociated"),
              0);
    const uint8_t opt55_known[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 1, 121, 3, 6, 15, 0};
    ASSERT_EQ(zelmo_processNotifyDHCPOpt55(opt55_known, sizeof opt55_known), 0);
    ASSERT_EQ(_g_device_count, 4);

    // Fields of other subsystems, set as they set them, and a fixed clock.
    for (int i = 0; i < _g_device_count; ++i) {
        DeviceRecord &r = _g_devices[i];
        r.LastReportedTimeSec.set(1700000000 + i * 86400);
        r.LastReportedTimeUsec.set(7 + i * 100000);
        r.HDDState.set(-1 - i);
    }
    _g_devices[1].Port.set(0x00000102);
    _g_devices[1].timer.set(0xc0ffee01);
    _g_devices[1].TimerStage.set(3);
    _g_devices[2].Critical.set(2);
    _g_devices[2].CriticalSetInterface.set(0x7f000004);
}

} // namespace

TEST(FixedScenario, DatabaseAndNotificationBytes)
{
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    ASSERT_EQ(devtable_alloc(), 0);
    field_set(_g_file, gw.db_path().c_str());
    _g_isRoot = 1;

    build_table(gw);
    if (HasFatalFailure())
        return;
    ASSERT_EQ(update_db(), 0);
    Bytes db = gw.read_db();
    write_output("devices.db", db);

    // The file: headers, then four records in table order.
    ASSERT_EQ(db.size(), HEADER + 4 * REC);
    EXPECT_EQ(text_at(db, 0, 32), "4932");
    EXPECT_EQ(text_at(db, 32, 32), "4");
    EXPECT_EQ(bytes_at(db, 4, 28), Bytes(28, 0));
    const size_t r0 = HEADER, r1 = HEADER + REC, r2 = HEADER + 2 * REC, r3 = HEADER + 3 * REC;
    EXPECT_EQ(text_at(db, r0 + 122, 32), "02:00:00:00:00:01");
    EXPECT_EQ(text_at(db, r1 + 122, 32), "02:00:00:00:00:02");
    EXPECT_EQ(text_at(db, r2 + 122, 32), "0a:1b:2c:3d:4e:5f");
    EXPECT_EQ(text_at(db, r3 + 122, 32), "02:00:00:00:00:05"); // took the removed device's slot
    // Little-endian integers at their offsets, the unaligned ones included.
    EXPECT_EQ(bytes_at(db, r0 + 0, 8), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));             // Discovery, Inactive
    EXPECT_EQ(bytes_at(db, r0 + 8, 8), (Bytes{0x00, 0xf1, 0x53, 0x65, 7, 0, 0, 0})); // 1700000000 s, 7 us
    EXPECT_EQ(bytes_at(db, r0 + 20, 4), (Bytes{0x11, 0x01, 0, 0}));                  // ObjectId 273
    EXPECT_EQ(bytes_at(db, r0 + 24, 12), (Bytes{2, 0, 0, 0, 1, 0, 0, 0, 0x03, 0x02, 0x01, 0x00}));
    EXPECT_EQ(bytes_at(db, r0 + 118, 4), (Bytes{0x04, 0x03, 0x02, 0x01}));  // LeaseTimeRemaining
    EXPECT_EQ(bytes_at(db, r0 + 1281, 4), (Bytes{0x0d, 0x0c, 0x0b, 0x0a})); // HostActive
    EXPECT_EQ(bytes_at(db, r0 + 1456, 4), (Bytes{1, 0, 0, 0}));             // BehindQuillo
    EXPECT_EQ(bytes_at(db, r0 + 1460, 8), (Bytes{2, 0, 0, 0, 1, 0, 0, 0})); // Reporting, HOST
    EXPECT_EQ(text_at(db, r0 + 1726, 32), "Not Reachable");
    EXPECT_EQ(bytes_at(db, r0 + 4928, 4), (Bytes{0xff, 0xff, 0xff, 0xff})); // HDDState -1
    EXPECT_EQ(bytes_at(db, r1 + 16, 4), (Bytes{0x02, 0x01, 0, 0}));         // Port
    EXPECT_EQ(bytes_at(db, r1 + 118, 4), (Bytes{0xfb, 0xff, 0xff, 0xff}));  // lease -5
    EXPECT_EQ(bytes_at(db, r1 + 1792, 8), (Bytes{0x01, 0xee, 0xff, 0xc0, 3, 0, 0, 0}));
    EXPECT_EQ(text_at(db, r1 + 1468, 258), "1,121,3,6,15");
    EXPECT_EQ(text_at(db, r1 + 1758, 32), "Associated");
    EXPECT_EQ(text_at(db, r1 + 1800 + 256, 128), "Acme");
    EXPECT_EQ(text_at(db, r2 + 1468, 258), "1,3,6,15,119,252");
    EXPECT_EQ(bytes_at(db, r2 + 4664, 8), (Bytes{2, 0, 0, 0, 0x04, 0, 0, 0x7f}));
    EXPECT_EQ(bytes_at(db, r3 + 1464, 4), (Bytes{4, 0, 0, 0})); // HTTP
    EXPECT_EQ(text_at(db, r3 + 1800 + 68, 256), "Mozilla/5.0 (Linux; Android 13)");
    // Bytes the daemon does not interpret come through unchanged.
    EXPECT_EQ(db[r0 + 20 + 134 + 10], uint8_t(0x11 + 70));
    EXPECT_EQ(db[r1 + 20 + 905 + 3], uint8_t(0x22 ^ 3));
    EXPECT_EQ(bytes_at(db, r2 + 2608, 2056), Bytes(2056, 0));

    // One device, as the LAN host daemon receives it.
    ASSERT_EQ(sentDeviceUpdateToDbus(&_g_devices[1], 1, sizeof(DeviceRecord), notifyDeviceInfoUpdate), 0);
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceInfoUpdate", 1, 10s));
    Bytes single = lanhost.calls("notifyDeviceInfoUpdate")[0].bytes();
    write_output("single.bin", single);
    ASSERT_EQ(single.size(), 4941u);
    EXPECT_EQ(bytes_at(single, 0, 4), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(bytes_at(single, 4, REC), bytes_at(db, r1, REC));
    EXPECT_EQ(bytes_at(single, 4 + REC, 5), Bytes(5, 0));

    // The whole table.
    ASSERT_EQ(sendSyncAllDevicesToDbus(), 0);
    ASSERT_TRUE(lanhost.wait_for("notifySyncAllDevices", 1, 10s));
    Bytes table = lanhost.calls("notifySyncAllDevices")[0].bytes();
    write_output("table.bin", table);
    ASSERT_EQ(table.size(), 1262601u);
    EXPECT_EQ(bytes_at(table, 0, 4), (Bytes{4, 0, 0, 0}));
    EXPECT_EQ(bytes_at(table, 4, 4 * REC), bytes_at(db, HEADER, 4 * REC));
    EXPECT_TRUE(
        std::all_of(table.begin() + long(4 + 4 * REC), table.end(), [](uint8_t b) { return b == 0; }));

    // Loading the file gives the same table, and saving it again the same file.
    ASSERT_EQ(devtable_alloc(), 0);
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(_g_device_count, 4);
    EXPECT_EQ(memcmp(_g_devices, db.data() + HEADER, 4 * REC), 0);
    EXPECT_EQ(_g_devices[1].timer.get(), 0xc0ffee01u);
    EXPECT_EQ(_g_devices[0].lanHostEntry.LeaseTimeRemaining.get(), 0x01020304);
    EXPECT_EQ(_g_devices[1].lanHostEntry.LeaseTimeRemaining.get(), -5);
    ASSERT_EQ(unlink(gw.db_path().c_str()), 0);
    ASSERT_EQ(update_db(), 0);
    EXPECT_EQ(gw.read_db(), db);
}
