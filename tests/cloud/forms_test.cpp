// The CSV report forms, byte for byte.
#include "cloud/cloud.h"
#include "fixture/fixture.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

const std::string kHostHeader =
    "IPAddress,AddressSource,LeaseTimeRemaining,MACAddress,HostName,InterfaceType,"
    "Active,FriendlyName,Port,Critical,L3Status,InterfaceStatus,RemovalStatus\n";

TEST(CloudForms, HostRowsFollowPresence)
{
    struct Case {
        const char *type, *l3, *link;
        int32_t status, port, critical, status_after;
        const char *tail; // from InterfaceType on
    } cases[] = {
        {"802.11", "Reachable", "Disassociated", 1, 2, 0, 0,
         "802.11,false,Kid,2,0,Reachable,Disassociated,0"},
        {"Ethernet", "", nullptr, 1, 5, 2, 0, "Ethernet,false,Kid,,2,Not Reachable,Disassociated,0"},
        {"Ethernet", "Reachable", "Disassociated", 1, 0, 1, 0,
         "Ethernet,false,Kid,,1,Reachable,Disassociated,0"},
        {"802.11", "Not Reachable", "Associated", 0, 0, 0, 1,
         "802.11,true,Kid,,0,Not Reachable,Associated,0"},
        {"802.11", "Reachable", "Associated", 2, 1234567, -1234567, 2,
         "802.11,false,Kid,123456,-12345,Reachable,Associated,0"},
    };
    for (const Case &c : cases) {
        LanHostEntryObject host = make_lanhost("aa:bb:cc:dd:ee:01", "192.168.1.23", "phone", c.type);
        field_set(host.FriendlyName, "Kid");
        char buffer[1280] = "left over";
        int32_t status = c.status;
        formHostData(&host, buffer, 1, &status, c.port, c.critical, c.l3, c.link, 0);
        EXPECT_EQ(buffer, kHostHeader + "192.168.1.23,DHCP,86400,aa:bb:cc:dd:ee:01,phone," + c.tail)
            << c.tail;
        EXPECT_EQ(status, c.status_after) << c.tail;
    }

    // Appending without the header; an empty AddressSource reports "Static".
    LanHostEntryObject host = make_lanhost("aa:bb:cc:dd:ee:02", "10.0.0.2", "pc,1", "Ethernet");
    host.AddressSource[0] = '\0';
    host.LeaseTimeRemaining.set(-5);
    char buffer[1280] = "head\n";
    int32_t status = 1;
    formHostData(&host, buffer, 0, &status, 0, 0, "Reachable", "Associated", 0);
    const char *expected =
        "head\n10.0.0.2,Static,-5,aa:bb:cc:dd:ee:02,pc,1,Ethernet,true,,,0,Reachable,Associated,0";
    EXPECT_STREQ(buffer, expected);
    formHostData(&host, buffer, 0, nullptr, 0, 0, "", "", 0); // no status: nothing written
    EXPECT_STREQ(buffer, expected);
}

TEST(CloudForms, DescriptionRows)
{
    char buffer[1280] = "old text";
    FingerprintData m{};
    field_set(m.mdns.Manufacturer, "Apple, Inc");
    field_set(m.mdns.UUID, "5e6f");
    formMDNSData("aa:bb:cc:dd:ee:05", &m, buffer, 1);
    EXPECT_STREQ(buffer, "MACAddress,Manufacturer,Model,UUID\naa:bb:cc:dd:ee:05,Apple, Inc,,5e6f");

    FingerprintData h{};
    field_set(h.http.VendorID, "MSFT \"5.0\"");
    field_set(h.http.UserAgent, "Mozilla/5.0 (\"X11\") \\ end");
    formHTTPData("aa:bb:cc:dd:ee:06", "1,3,6,15", &h, buffer, 1);
    EXPECT_STREQ(buffer,
                 "MACAddress,Option-55,VendorID,User-agent\n"
                 "aa:bb:cc:dd:ee:06,\"1,3,6,15\",\"MSFT \"5.0\"\",\"Mozilla/5.0 (\\\"X11\\\") \\ end\"");
    FingerprintData empty{};
    formHTTPData("aa:bb:cc:dd:ee:07", nullptr, &empty, buffer, 1);
    formHTTPData("aa:bb:cc:dd:ee:08", "", nullptr, buffer, 0); // no description: nothing written
    EXPECT_STREQ(buffer, "MACAddress,Option-55,VendorID,User-agent\naa:bb:cc:dd:ee:07,,,");
}

// Every text field filled to its last byte without a terminator: a
// single-device form still fits the smallest caller buffer, and a sized form
// that has no room drops the row instead of writing past its buffer.
TEST(CloudForms, FullWidthFieldsStayInBounds)
{
    DeviceRecord r;
    memset(&r, 'A', sizeof r);
    memset(r.fingerprintData.http.UserAgent, '"', sizeof r.fingerprintData.http.UserAgent);
    const std::string a(255, 'A');
    auto heap = [] { return std::vector<char>(CLOUD_SINGLE_FORM_SIZE, '\0'); }; // ASan sees any overrun

    std::vector<char> buf = heap();
    int32_t status = 1;
    formHostData(&r.lanHostEntry, buf.data(), 1, &status, 1, 1, r.L3Status, r.InterfaceStatus, 0);
    std::string row = a.substr(0, 32) + "," + a.substr(0, 32) + ",1094795585," + a.substr(0, 31) + "," + a +
                      "," + a.substr(0, 32) + ",true," + a.substr(0, 64) + ",1,1," + a.substr(0, 31) + "," +
                      a.substr(0, 31) + ",0";
    EXPECT_EQ(buf.data(), kHostHeader + row);

    buf = heap();
    formHTTPData(r.lanHostEntry.MACAddress, r.Option55, &r.fingerprintData, buf.data(), 1);
    std::string agent;
    for (int i = 0; i < 255; ++i)
        agent += "\\\"";
    EXPECT_EQ(buf.data(), "MACAddress,Option-55,VendorID,User-agent\n" + a.substr(0, 31) + ",\"" + a +
                              a.substr(0, 2) + "\",\"" + a.substr(0, 67) + "\",\"" + agent + "\"");

    buf = heap();
    formUPnPData(r.lanHostEntry.MACAddress, &r.fingerprintData, buf.data(), 1);
    EXPECT_EQ(strlen(buf.data()), 74u + 31 + 255 + 129 + 63 + 63 + 127 + 36 + 6);

    std::vector<char> small(100, '\0');
    strcpy(small.data(), "kept");
    status = 1;
    formHostData(&r.lanHostEntry, small.data(), small.size(), 0, &status, 0, 0, "", "", 0);
    EXPECT_STREQ(small.data(), "kept");
    EXPECT_EQ(status, 1); // a dropped row changes nothing
    formMDNSData(r.lanHostEntry.MACAddress, &r.fingerprintData, small.data(), small.size(), 0);
    EXPECT_STREQ(small.data(), "kept");
    formMDNSData(r.lanHostEntry.MACAddress, &r.fingerprintData, small.data(), small.size(), 1);
    EXPECT_STREQ(small.data(), ""); // the header replaces the text, the row does not fit
}
