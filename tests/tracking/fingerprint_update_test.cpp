// Fingerprint descriptions through the running daemon: precedence UPNP over
// MDNS over HTTP, merging, the host reported first, and the notifications.
#include "tracking_env.h"

#include "tracking/tracking.h"

namespace
{

struct Upnp {
    std::string udn, type, manufacturer, info, name, number, serial;
};

Bytes upnp_description(const Upnp &u)
{
    Bytes d(2664, 0);
    auto put = [&](size_t at, const std::string &s) { memcpy(d.data() + at, s.data(), s.size()); };
    put(UPNP_DESC_UDN, u.udn);
    put(UPNP_DESC_DEVICE_TYPE, u.type);
    put(UPNP_DESC_MANUFACTURER, u.manufacturer);
    put(UPNP_DESC_ADDITIONAL_INFO, u.info);
    put(UPNP_DESC_MODEL_NAME, u.name);
    put(UPNP_DESC_MODEL_NUMBER, u.number);
    put(UPNP_DESC_SERIAL_NUMBER, u.serial);
    return d;
}

MDNSData mdns(const std::string &manufacturer, const std::string &model, const std::string &uuid)
{
    MDNSData m{};
    field_set(m.Manufacturer, manufacturer.c_str());
    field_set(m.Model, model.c_str());
    field_set(m.UUID, uuid.c_str());
    return m;
}

HTTPData http(const std::string &vendor, const std::string &agent)
{
    HTTPData h{};
    field_set(h.VendorID, vendor.c_str());
    field_set(h.UserAgent, agent.c_str());
    return h;
}

// A reported host in the table.
void add_host(TrackingDaemon &d, unsigned n, LanHostEntryObject entry = {})
{
    if (entry.MACAddress[0] == '\0')
        entry = make_lanhost(test_mac(n), "192.168.1." + std::to_string(n), "host" + std::to_string(n));
    size_t added = d.notifications("notifyDeviceAdded");
    ASSERT_TRUE(d.host(entry, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", added + 1));
}

} // namespace

TEST(FingerprintUpdate, PrecedenceOfSources)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready) << d.zelmo->stderr_text();

    // UPnP for a reported host: stored, uploaded, notified; the capture stops.
    add_host(d, 1);
    EXPECT_EQ(d.record(test_mac(1))->TimerStage.get(), 1);
    Bytes tv = upnp_description({"uuid:1234", "urn:tv:1", "Acme", "extra", "Vision", "V1", "S-1"});
    ASSERT_TRUE(d.fingerprint(FP_UPNP, test_mac(1), tv.data(), tv.size()));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 1));
    auto r = d.record(test_mac(1));
    EXPECT_EQ(r->FingerprintType.get(), FP_UPNP);
    EXPECT_EQ(r->DeviceState.get(), REPORT_REPORTED);
    EXPECT_EQ(r->TimerStage.get(), 3);
    EXPECT_EQ(r->timer.get(), 0u);
    EXPECT_STREQ(r->fingerprintData.upnp.UDN, "uuid:1234");
    EXPECT_STREQ(r->fingerprintData.upnp.AdditionalInfo, "extra");
    auto up = d.uploads();
    ASSERT_EQ(up.size(), 2u);
    EXPECT_EQ(up[1].first, "Device.UPnP.Description.{i}.");
    EXPECT_EQ(up[1].second, "MACAddress,DeviceType,Manufacturer,ModelName,ModelNumber,SerialNumber,UDN\n" +
                                test_mac(1) + ",urn:tv:1,\"Acme\",Vision,V1,S-1,uuid:1234");
    EXPECT_EQ(to_bytes(*d.notified_record("notifyDeviceInfoUpdate", 0)), to_bytes(*r));

    // A lower source for a device with UPnP data: ignored.
    MDNSData speaker = mdns("Other", "Thing", "u-2");
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(1), &speaker, sizeof speaker));
    HTTPData agent = http("V", "Agent/1");
    ASSERT_TRUE(d.fingerprint(FP_HTTP, test_mac(1), &agent, sizeof agent));
    ASSERT_TRUE(d.logged("Device already finger printed using UPNP or MDNS. So ignore it", 2));
    EXPECT_EQ(to_bytes(*d.record(test_mac(1))), to_bytes(*r));
    EXPECT_EQ(d.uploads().size(), 2u);
    EXPECT_EQ(d.notifications("notifyDeviceInfoUpdate"), 1u);

    // HTTP held and reported; UPnP replaces it, and keeps no old byte.
    add_host(d, 2);
    HTTPData browser = http("MSFT 5.0", "Mozilla/5.0");
    ASSERT_TRUE(d.fingerprint(FP_HTTP, test_mac(2), &browser, sizeof browser));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 2));
    EXPECT_EQ(d.record(test_mac(2))->DeviceState.get(), REPORT_REPORTED);
    Bytes box = upnp_description({"uuid:5", "urn:box:1", "", "", "Box", "", ""});
    ASSERT_TRUE(d.fingerprint(FP_UPNP, test_mac(2), box.data(), box.size()));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 3));
    r = d.record(test_mac(2));
    EXPECT_EQ(r->FingerprintType.get(), FP_UPNP);
    FingerprintData expected{};
    field_set(expected.upnp.UDN, "uuid:5");
    field_set(expected.upnp.DeviceType, "urn:box:1");
    field_set(expected.upnp.ModelName, "Box");
    EXPECT_EQ(to_bytes(r->fingerprintData), to_bytes(expected));
    up = d.uploads();
    EXPECT_EQ(up.back().second,
              "MACAddress,DeviceType,Manufacturer,ModelName,ModelNumber,SerialNumber,UDN\n" + test_mac(2) +
                  ",urn:box:1,,Box,,,uuid:5");

    // mDNS held and reported; UPnP for it counts as nothing new.
    add_host(d, 3);
    MDNSData printer = mdns("Inky", "P1", "u-3");
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(3), &printer, sizeof printer));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 4));
    size_t uploads = d.uploads().size();
    ASSERT_TRUE(d.fingerprint(FP_UPNP, test_mac(3), tv.data(), tv.size()));
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(3), &printer, sizeof printer));
    ASSERT_TRUE(d.logged("No change in upnp/http data. So ignore..!", 2));
    EXPECT_EQ(d.record(test_mac(3))->FingerprintType.get(), FP_MDNS);
    EXPECT_STREQ(d.record(test_mac(3))->fingerprintData.mdns.Manufacturer, "Inky");
    EXPECT_EQ(d.uploads().size(), uploads);

    // Fingerprint messages never remove: a Removed action is ignored, even for a new MAC.
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(9), &printer, sizeof printer, STATUS_REMOVED));
    add_host(d, 4);
    EXPECT_FALSE(d.record(test_mac(9)));
}

TEST(FingerprintUpdate, MergeVendorFallbackAndUnknownDevices)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready) << d.zelmo->stderr_text();

    // A description whose upload fails stays Reporting, and the next one of
    // the same source is merged into it: empty fields keep the stored text.
    add_host(d, 1);
    d.cloud_down();
    MDNSData first = mdns("Acme", "Speaker", "u-1");
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(1), &first, sizeof first));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 1));
    EXPECT_EQ(d.record(test_mac(1))->DeviceState.get(), REPORT_REPORTING);
    d.cloud_up();
    ASSERT_TRUE(d.reachable_again());
    MDNSData second = mdns("Acme Audio", "", "");
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(1), &second, sizeof second));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 2));
    auto r = d.record(test_mac(1));
    EXPECT_EQ(r->DeviceState.get(), REPORT_REPORTED);
    EXPECT_STREQ(r->fingerprintData.mdns.Manufacturer, "Acme Audio");
    EXPECT_STREQ(r->fingerprintData.mdns.Model, "Speaker");
    EXPECT_STREQ(r->fingerprintData.mdns.UUID, "u-1");
    EXPECT_EQ(d.uploads().back(), std::make_pair(std::string("Device.MDNS.Description.{i}."),
                                                 "MACAddress,Manufacturer,Model,UUID\n" + test_mac(1) +
                                                     ",Acme Audio,Speaker,u-1"));

    // No vendor identifier in the capture: the DHCP vendor class stands in.
    LanHostEntryObject laptop = make_lanhost(test_mac(2), "192.168.1.2", "laptop");
    field_set(laptop.VendorClassID, "MSFT 5.0");
    add_host(d, 2, laptop);
    HTTPData agent = http("", "Mozilla/5.0 \"quoted\"");
    ASSERT_TRUE(d.fingerprint(FP_HTTP, test_mac(2), &agent, sizeof agent));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 3));
    r = d.record(test_mac(2));
    EXPECT_STREQ(r->fingerprintData.http.VendorID, "MSFT 5.0");
    EXPECT_STREQ(r->fingerprintData.http.UserAgent, "Mozilla/5.0 \"quoted\"");
    EXPECT_EQ(d.uploads().back().first, "Device.FingerPrint.Description.{i}.");
    EXPECT_EQ(d.uploads().back().second, "MACAddress,Option-55,VendorID,User-agent\n" + test_mac(2) +
                                             ",,\"MSFT 5.0\",\"Mozilla/5.0 \\\"quoted\\\"\"");

    // A device seen first by its fingerprint: entered, its host reported
    // first (Inactive: not associated, not reachable), then its description.
    size_t added = d.notifications("notifyDeviceAdded");
    size_t uploads = d.uploads().size();
    MDNSData lamp = mdns("Glow", "L1", "u-3");
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(3), &lamp, sizeof lamp));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 4));
    EXPECT_EQ(d.notifications("notifyDeviceAdded"), added + 1);
    r = d.record(test_mac(3));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Status.get(), STATUS_INACTIVE);
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTED);
    EXPECT_EQ(r->DeviceState.get(), REPORT_REPORTED);
    EXPECT_EQ(r->FingerprintType.get(), FP_MDNS);
    EXPECT_STREQ(r->L3Status, "Not Reachable");
    EXPECT_STREQ(r->InterfaceStatus, "Disassociated");
    auto up = d.uploads();
    ASSERT_EQ(up.size(), uploads + 2);
    EXPECT_EQ(up[uploads].first, kHostForm);
    EXPECT_EQ(up[uploads].second,
              kHostHeader + (",Static,0," + test_mac(3) + ",,,false,,,0,Not Reachable,Disassociated,0"));
    EXPECT_EQ(up[uploads + 1].second, "MACAddress,Manufacturer,Model,UUID\n" + test_mac(3) + ",Glow,L1,u-3");

    // The same with the cloud unreachable: the description waits for its host
    // row, and the next host update reports both.
    d.cloud_down();
    MDNSData plug = mdns("Volt", "P2", "u-4");
    ASSERT_TRUE(d.fingerprint(FP_MDNS, test_mac(4), &plug, sizeof plug));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 5));
    r = d.record(test_mac(4));
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTING);
    EXPECT_EQ(r->DeviceState.get(), REPORT_REPORTING);
    d.cloud_up();
    ASSERT_TRUE(d.reachable_again());
    uploads = d.uploads().size();
    LanHostEntryObject plug_host = make_lanhost(test_mac(4), "192.168.1.4", "plug");
    ASSERT_TRUE(d.host(plug_host, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 1));
    r = d.record(test_mac(4));
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTED);
    EXPECT_EQ(r->DeviceState.get(), REPORT_REPORTED);
    up = d.uploads();
    ASSERT_EQ(up.size(), uploads + 2);
    EXPECT_EQ(up[uploads].first, kHostForm);
    EXPECT_EQ(up[uploads + 1].second, "MACAddress,Manufacturer,Model,UUID\n" + test_mac(4) + ",Volt,P2,u-4");
}
