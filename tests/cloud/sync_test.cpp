// Full synchronisation: the two bulk requests, the marking of the records
// and the saved database file.
#include "cloud/cloud.h"
#include "devtable/devtable.h"
#include "fixture/cloud_server.h"
#include "frame/frame.h"

namespace
{

using States = std::vector<std::array<int32_t, 3>>;

DeviceRecord device(char id, const char *ip, const char *name, const char *type, int32_t hostState,
                    int32_t deviceState, int32_t fpType)
{
    DeviceRecord r = make_record(std::string("aa:00:00:00:00:0") + id, ip, name, type);
    r.HostState.set(hostState);
    r.DeviceState.set(deviceState);
    r.FingerprintType.set(fpType);
    return r;
}

class CloudSync : public CloudTest
{
  protected:
    void SetUp() override
    {
        CloudTest::SetUp();
        ASSERT_EQ(devtable_alloc(), 0);
        field_set(_g_file, root.db_path().c_str());
        std::vector<DeviceRecord> t = {
            device('a', "192.168.1.10", "tv", "802.11", REPORT_REPORTING, REPORT_REPORTING, FP_UPNP),
            device('b', "192.168.1.11", "nas", "Ethernet", REPORT_REPORTED, REPORT_REPORTED, FP_MDNS),
            device('c', "192.168.1.12", "new", "Ethernet", REPORT_NEW, REPORT_NEW, FP_HTTP),
            device('d', "192.168.1.13", "pc", "Ethernet", REPORT_REPORTING, REPORT_REPORTING, FP_HTTP),
            device('e', "192.168.1.14", "cam", "802.11", REPORT_DISCOVERY, REPORT_DISCOVERY, FP_HOST),
        };
        field_set(t[0].InterfaceStatus, "Associated");
        t[0].Port.set(3);
        UPnPData &u = t[0].fingerprintData.upnp;
        field_set(u.DeviceType, "urn:tv");
        field_set(u.Manufacturer, "Sony");
        field_set(u.UDN, "uuid:1");
        field_set(t[1].fingerprintData.mdns.Manufacturer, "Synology");
        field_set(t[1].fingerprintData.mdns.UUID, "u-b");
        t[3].Status.set(STATUS_REMOVED);
        t[3].Critical.set(2);
        field_set(t[3].Option55, "1,3,6");
        field_set(t[3].fingerprintData.http.UserAgent, "say \"hi\"");
        for (const DeviceRecord &r : t)
            _g_devices[_g_device_count++] = r;
    }
    // (Status, HostState, DeviceState) of every record.
    States states() const
    {
        States out;
        for (int i = 0; i < _g_device_count; ++i)
            out.push_back(
                {_g_devices[i].Status.get(), _g_devices[i].HostState.get(), _g_devices[i].DeviceState.get()});
        return out;
    }
    void expect_file_matches_table() const
    {
        EXPECT_EQ(root.read_db(),
                  db_image(std::vector<DeviceRecord>(_g_devices, _g_devices + _g_device_count)));
    }
};

} // namespace

TEST_F(CloudSync, BothRequestsAndTheMarking)
{
    CloudServer server;
    root.write_http_profile(server.url("/sync"));
    EXPECT_EQ(sync_all_devices(0), 0);
    ASSERT_EQ(server.requests().size(), 2u);
    std::vector<RecordedPart> host = server.requests()[0].parts, desc = server.requests()[1].parts;
    ASSERT_EQ(host.size(), 1u);
    EXPECT_EQ(host[0].name, "Device.Hosts.Host.{i}.");
    EXPECT_EQ(host[0].content_type, "text/csv");
    EXPECT_EQ(host[0].data, std::string(CLOUD_HEADER_HOST) + "\n" +
                                "192.168.1.10,DHCP,86400,aa:00:00:00:00:0a,tv,802.11,true,,3,0,Reachable,"
                                "Associated,0\n"
                                "192.168.1.11,DHCP,86400,aa:00:00:00:00:0b,nas,Ethernet,false,,,0,Reachable,"
                                "Disassociated,0\n"
                                "192.168.1.13,DHCP,86400,aa:00:00:00:00:0d,pc,Ethernet,false,,,2,Reachable,"
                                "Disassociated,0\n"
                                "192.168.1.14,DHCP,86400,aa:00:00:00:00:0e,cam,802.11,false,,,0,Reachable,"
                                "Disassociated,0\n");
    ASSERT_EQ(desc.size(), 3u);
    EXPECT_EQ(desc[0].name, "Device.UPnP.Description.{i}.");
    EXPECT_EQ(desc[0].data,
              std::string(CLOUD_HEADER_UPNP) + "\naa:00:00:00:00:0a,urn:tv,\"Sony\",,,,uuid:1\n");
    EXPECT_EQ(desc[1].name, "Device.MDNS.Description.{i}.");
    EXPECT_EQ(desc[1].data, std::string(CLOUD_HEADER_MDNS) + "\naa:00:00:00:00:0b,Synology,,u-b\n");
    EXPECT_EQ(desc[2].name, "Device.FingerPrint.Description.{i}.");
    EXPECT_EQ(desc[2].data,
              std::string(CLOUD_HEADER_HTTP) + "\naa:00:00:00:00:0d,\"1,3,6\",,\"say \\\"hi\\\"\"\n");
    for (const RecordedPart &p : desc)
        EXPECT_TRUE(p.content_type == "text/csv" && !p.has_filename) << p.name;

    EXPECT_EQ(states(), (States{{1, 4, 4}, {0, 4, 4}, {1, 0, 0}, {2, 4, 4}, {0, 4, 1}}));
    expect_file_matches_table();

    // Catch-up: nothing is due; then one UPnP description becomes due.
    EXPECT_EQ(sync_all_devices(1), 0);
    EXPECT_EQ(server.requests().size(), 2u);
    _g_devices[0].DeviceState.set(REPORT_REPORTING);
    sync_all_devices(1);
    ASSERT_EQ(server.requests().size(), 3u);
    ASSERT_EQ(server.requests()[2].parts.size(), 1u);
    EXPECT_EQ(server.requests()[2].parts[0].name, CLOUD_FORM_UPNP);
    EXPECT_EQ(_g_devices[0].DeviceState.get(), REPORT_REPORTED);
}

TEST_F(CloudSync, FailedHostRequestStopsTheDescriptions)
{
    CloudServer silent("close");
    root.write_http_profile(silent.url());
    CaptureFd err(2);
    EXPECT_EQ(sync_all_devices(0), 0);
    EXPECT_EQ(err.count(curl_failure_line(CURLE_GOT_NOTHING)), 1u);
    EXPECT_EQ(err.count("Cloud reachability is failed. So ignore to send to cloud\n"), 1u);
    EXPECT_EQ(silent.requests().size(), 1u);
    EXPECT_EQ(_g_cloud_reachable, 0);
    // Only the presence values that the host rows rewrote have changed.
    EXPECT_EQ(states(), (States{{1, 2, 2}, {0, 4, 4}, {1, 0, 0}, {2, 2, 2}, {0, 1, 1}}));
    expect_file_matches_table();

    // Empty table: no request, the file is still written.
    _g_cloud_reachable = 1;
    devtable_alloc();
    EXPECT_EQ(sync_all_devices(0), 0);
    EXPECT_EQ(silent.requests().size(), 1u);
    EXPECT_EQ(_g_cloud_reachable, 1);
    expect_file_matches_table();
}
