// Fingerprint descriptions through the running daemon: precedence UPNP over
// MDNS over HTTP, merging, the host reported first, and the notifications.
#include "tracking_env.h"

#include "tracking/tracking.h"

#include <array>

namespace
{

using V = std::vector<int32_t>; // Status, HostState, DeviceState
using Description = std::array<uint8_t, 2664>;

Description upnp(const std::string &udn, const std::string &type, const std::string &maker,
                 const std::string &name, const std::string &number = "")
{
    Description d{};
    for (auto [at, text] : {std::pair{UPNP_DESC_UDN, udn},
                            {UPNP_DESC_DEVICE_TYPE, type},
                            {UPNP_DESC_MANUFACTURER, maker},
                            {UPNP_DESC_MODEL_NAME, name},
                            {UPNP_DESC_MODEL_NUMBER, number},
                            {UPNP_DESC_ADDITIONAL_INFO, std::string("info")}})
        memcpy(d.data() + at, text.data(), text.size());
    return d;
}
const std::string kUpnpHeader = "MACAddress,DeviceType,Manufacturer,ModelName,ModelNumber,SerialNumber,UDN\n";
const std::string kMdnsHeader = "MACAddress,Manufacturer,Model,UUID\n";

void add_host(TrackingDaemon &d, unsigned n, const LanHostEntryObject &e)
{
    size_t added = d.notifications("notifyDeviceAdded");
    ASSERT_TRUE(d.host(e, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", added + 1)) << n;
}

} // namespace

TEST(FingerprintUpdate, PrecedenceOfSources)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready);

    // UPnP for a reported host: stored, uploaded, notified; the capture stops.
    add_host(d, 1, lanhost_entry(1));
    ASSERT_TRUE(d.fingerprint(FP_UPNP, 1, upnp("uuid:1", "urn:tv", "Acme", "Vision", "V1")));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 1));
    auto r = d.record(1);
    EXPECT_EQ(states(r), (V{STATUS_ACTIVE, REPORT_REPORTED, REPORT_REPORTED}));
    EXPECT_EQ(r->FingerprintType.get(), FP_UPNP);
    EXPECT_EQ(r->TimerStage.get(), 3);
    EXPECT_EQ(r->timer.get(), 0u);
    EXPECT_STREQ(r->fingerprintData.upnp.AdditionalInfo, "info");
    EXPECT_EQ(d.uploads().back(),
              std::make_pair(std::string("Device.UPnP.Description.{i}."),
                             kUpnpHeader + test_mac(1) + ",urn:tv,\"Acme\",Vision,V1,,uuid:1"));
    EXPECT_EQ(to_bytes(d.notified_record("notifyDeviceInfoUpdate", 0)), to_bytes(*r));

    // Lower sources for it: ignored.
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 1, MDNSData{"Other", "Thing", "u-2"}));
    ASSERT_TRUE(d.fingerprint(FP_HTTP, 1, HTTPData{"V", "Agent/1"}));
    ASSERT_TRUE(d.logged("Device already finger printed using UPNP or MDNS. So ignore it", 2));
    EXPECT_EQ(to_bytes(*d.record(1)), to_bytes(*r));
    EXPECT_EQ(d.uploads().size(), 2u);
    EXPECT_EQ(d.notifications("notifyDeviceInfoUpdate"), 1u);

    // HTTP reported; UPnP replaces it and keeps no old byte.
    add_host(d, 2, lanhost_entry(2));
    ASSERT_TRUE(d.fingerprint(FP_HTTP, 2, HTTPData{"MSFT 5.0", "Mozilla/5.0"}));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 2));
    ASSERT_TRUE(d.fingerprint(FP_UPNP, 2, upnp("uuid:5", "urn:box", "", "Box")));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 3));
    FingerprintData expected{};
    convertToUPnP(upnp("uuid:5", "urn:box", "", "Box").data(), &expected);
    EXPECT_EQ(to_bytes(d.record(2)->fingerprintData), to_bytes(expected));
    EXPECT_EQ(d.last_upload(), kUpnpHeader + test_mac(2) + ",urn:box,,Box,,,uuid:5");

    // mDNS reported: UPnP (or mDNS) for it is "no change"; the received data is not compared.
    add_host(d, 3, lanhost_entry(3));
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 3, MDNSData{"Inky", "P1", "u-3"}));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 4));
    size_t uploads = d.uploads().size();
    ASSERT_TRUE(d.fingerprint(FP_UPNP, 3, upnp("uuid:9", "urn:x", "X", "X")));
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 3, MDNSData{"New", "P2", "u-9"}));
    ASSERT_TRUE(d.logged("No change in upnp/http data. So ignore..!", 2));
    EXPECT_STREQ(d.record(3)->fingerprintData.mdns.Manufacturer, "Inky");
    EXPECT_EQ(d.uploads().size(), uploads);

    // Fingerprint messages never remove, nor enter a device with a Removed action.
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 9, MDNSData{"Inky", "P1", "u-3"}, STATUS_REMOVED));
    ASSERT_TRUE(d.settle());
    EXPECT_FALSE(d.record(9));

    // A description without terminators is taken field by field within its widths.
    Description full;
    full.fill('x');
    add_host(d, 4, lanhost_entry(4));
    ASSERT_TRUE(d.fingerprint(FP_UPNP, 4, full));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 5));
    const UPnPData u = d.record(4)->fingerprintData.upnp;
    EXPECT_EQ(
        std::vector<size_t>({strlen(u.UDN), strlen(u.DeviceType), strlen(u.Manufacturer), strlen(u.ModelName),
                             strlen(u.ModelNumber), strlen(u.SerialNumber), strlen(u.AdditionalInfo)}),
        std::vector<size_t>({36, 255, 127, 63, 63, 127, 127}));
}

TEST(FingerprintUpdate, MergeVendorFallbackAndDevicesSeenFirstByTheirFingerprint)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready);

    // A description whose upload failed stays Reporting, and the next one of
    // the same source is merged into it: empty fields keep the stored text.
    add_host(d, 1, lanhost_entry(1));
    d.cloud_down();
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 1, MDNSData{"Acme", "Speaker", "u-1"}));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 1));
    EXPECT_EQ(d.record(1)->DeviceState.get(), REPORT_REPORTING);
    d.cloud_up();
    ASSERT_TRUE(d.reachable_again());
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 1, MDNSData{"Acme Audio", "", ""}));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 2));
    EXPECT_EQ(d.record(1)->DeviceState.get(), REPORT_REPORTED);
    EXPECT_EQ(d.uploads().back(), std::make_pair(std::string("Device.MDNS.Description.{i}."),
                                                 kMdnsHeader + test_mac(1) + ",Acme Audio,Speaker,u-1"));

    // No vendor identifier captured: the DHCP vendor class stands in.
    LanHostEntryObject laptop = lanhost_entry(2);
    field_set(laptop.VendorClassID, "MSFT 5.0");
    add_host(d, 2, laptop);
    ASSERT_TRUE(d.fingerprint(FP_HTTP, 2, HTTPData{"", "Mozilla/5.0 \"x\""}));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 3));
    EXPECT_STREQ(d.record(2)->fingerprintData.http.VendorID, "MSFT 5.0");
    EXPECT_EQ(d.uploads().back(), std::make_pair(std::string("Device.FingerPrint.Description.{i}."),
                                                 "MACAddress,Option-55,VendorID,User-agent\n" + test_mac(2) +
                                                     ",,\"MSFT 5.0\",\"Mozilla/5.0 \\\"x\\\"\""));

    // Seen first by its fingerprint: entered, its host reported first
    // (Inactive: neither associated nor reachable), then its description.
    size_t uploads = d.uploads().size();
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 3, MDNSData{"Glow", "L1", "u-3"}));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 4));
    EXPECT_EQ(d.notifications("notifyDeviceAdded"), 3u);
    auto r = d.record(3);
    EXPECT_EQ(states(r), (V{STATUS_INACTIVE, REPORT_REPORTED, REPORT_REPORTED}));
    EXPECT_STREQ(r->InterfaceStatus, "Disassociated");
    auto up = d.uploads();
    ASSERT_EQ(up.size(), uploads + 2);
    EXPECT_EQ(up[uploads].second,
              kHostHeader + ",Static,0," + test_mac(3) + ",,,false,,,0,Not Reachable,Disassociated,0");
    EXPECT_EQ(up[uploads + 1].second, kMdnsHeader + test_mac(3) + ",Glow,L1,u-3");

    // The same with the cloud away: the description waits for its host row,
    // and the next host update reports both.
    d.cloud_down();
    ASSERT_TRUE(d.fingerprint(FP_MDNS, 4, MDNSData{"Volt", "P2", "u-4"}));
    ASSERT_TRUE(d.notified("notifyDeviceInfoUpdate", 5));
    EXPECT_EQ(states(d.record(4)), (V{STATUS_INACTIVE, REPORT_REPORTING, REPORT_REPORTING}));
    d.cloud_up();
    ASSERT_TRUE(d.reachable_again());
    uploads = d.uploads().size();
    ASSERT_TRUE(d.host(lanhost_entry(4), STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 1));
    EXPECT_EQ(states(d.record(4)), (V{STATUS_ACTIVE, REPORT_REPORTED, REPORT_REPORTED}));
    up = d.uploads();
    ASSERT_EQ(up.size(), uploads + 2);
    EXPECT_EQ(up[uploads].second, host_form(lanhost_entry(4), "true"));
    EXPECT_EQ(up[uploads + 1].second, kMdnsHeader + test_mac(4) + ",Volt,P2,u-4");
}
