// Taking received descriptions into a FingerprintData area, field by field.
#include "tracking/tracking.h"

#include "fixture/fixture.h"

#include <gtest/gtest.h>

TEST(FingerprintCopy, FieldsAreTakenWithinTheirWidths)
{
    // UPnP: built afresh, each field cut to its width, unterminated input never overrun.
    Bytes description(2664, 'x');
    FingerprintData f;
    memset(&f, 'o', sizeof f);
    ASSERT_EQ(convertToUPnP(description.data(), &f), 0);
    EXPECT_EQ(strlen(f.upnp.UDN), 36u);
    EXPECT_EQ(strlen(f.upnp.DeviceType), 255u);
    EXPECT_EQ(strlen(f.upnp.Manufacturer), 127u);
    EXPECT_EQ(strlen(f.upnp.AdditionalInfo), 127u);
    EXPECT_EQ(strlen(f.upnp.ModelName), 63u);
    EXPECT_EQ(strlen(f.upnp.ModelNumber), 63u);
    EXPECT_EQ(strlen(f.upnp.SerialNumber), 127u);
    EXPECT_EQ(f.raw[805], 'o'); // beyond the UPnP part nothing is written
    Bytes empty(2664, 0);
    ASSERT_EQ(convertToUPnP(empty.data(), &f), 0);
    EXPECT_EQ(f.upnp.DeviceType[0], '\0');
    EXPECT_EQ(convertToUPnP(nullptr, &f), -1);
    EXPECT_EQ(convertToUPnP(empty.data(), nullptr), -1);

    // mDNS and HTTP: non-empty received fields replace, empty ones keep.
    FingerprintData m{};
    field_set(m.mdns.Manufacturer, "Old maker");
    field_set(m.mdns.Model, "Old model");
    MDNSData rx;
    memset(&rx, 'y', sizeof rx);
    rx.Model[0] = '\0';
    copyValidMDNSData(&m, &rx);
    EXPECT_EQ(strlen(m.mdns.Manufacturer), 127u);
    EXPECT_STREQ(m.mdns.Model, "Old model");
    EXPECT_EQ(strlen(m.mdns.UUID), 36u);
    copyValidMDNSData(nullptr, &rx);
    copyValidMDNSData(&m, nullptr);

    FingerprintData h{};
    field_set(h.http.UserAgent, "Old agent");
    HTTPData hx;
    memset(&hx, 'z', sizeof hx);
    hx.UserAgent[0] = '\0';
    copyValidHTTPData(&h, &hx, "1,3,6");
    EXPECT_EQ(strlen(h.http.VendorID), 63u);
    EXPECT_STREQ(h.http.UserAgent, "Old agent");
    field_set(hx.UserAgent, "New agent");
    copyValidHTTPData(&h, &hx, nullptr);
    EXPECT_STREQ(h.http.UserAgent, "New agent");
    copyValidHTTPData(nullptr, &hx, nullptr);
}
