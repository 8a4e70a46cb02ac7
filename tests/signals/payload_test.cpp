// Payloads of every length and content, and the DHCP option fingerprints.
#include "signals_env.h"

TEST_F(SignalsTest, PayloadsOfAnyLengthAreReadWithinTheirBytes)
{
    const Processor processors[] = {
        zelmo_processNotifyDHCPOpt43,     zelmo_processNotifyWDPRootAssocDevStatusChange,
        zelmo_processNotifyDHCPOpt55,     zelmo_processSetLanhostEntry,
        zelmo_processDelLanhostEntry,     zelmo_processNotifyDeviceInterfaceUpdate,
        zelmo_processNotifyUpdateToZelmo, zelmo_processNotifySessionStart,
        zelmo_processTR069Command,        zelmo_processWANStatusChange,
        zelmo_processStatsEthPortUpdate};
    {
        CaptureFd err(2);
        for (Processor p : processors)
            p(nullptr, 0);
        for (const char *name : {"NotifyUpdateToZelmo", "NotifyDHCPOpt55", "NotifyDHCPOpt43"})
            EXPECT_EQ(err.count(std::string("\nzelmo_process") + name + ", empty buffer\n"), 1u) << name;
    }
    for (Processor p : processors) {
        for (size_t n : {0, 1, 6, 7, 72, 104, 169, 277, 308, 929, 5000})
            for (uint8_t fill : {0x00, 0x41, 0xff})
                deliver(p, Bytes(n, fill));
    }
    // Texts without terminator end at their field, whole option codes at 257 characters.
    std::string codes = "65";
    for (int i = 1; i < 86; ++i)
        codes += ",65";
    const std::string a31(31, 'A'), a64(64, 'A'), ff31(31, '\xff');
    EXPECT_EQ(stored("41:41:41:41:41:41"), "1 0 0 0 |Not Reachable|Disassociated||||" + codes);
    EXPECT_EQ(stored("FF:FF:FF:FF:FF:FF"), "1 0 0 0 |Not Reachable|Disassociated||||255");
    std::optional<DeviceRecord> a = record(a31);
    ASSERT_TRUE(a);
    EXPECT_EQ(std::string(a->lanHostEntry.HostName), a64);
    EXPECT_EQ(std::string(a->lanHostEntry.GuestDevice), a64);
    EXPECT_TRUE(record(ff31));
    EXPECT_EQ(_g_session_timeout, 0);

    // Records too short to carry their address or vendor texts are refused.
    const int count = _g_device_count;
    deliver(zelmo_processNotifyDHCPOpt55, Bytes{2, 0, 0, 0, 7});
    deliver(zelmo_processNotifyDHCPOpt43, texts(928, {{0, test_mac(9)}, {160, "p"}}));
    EXPECT_EQ(_g_device_count, count);
    deliver(zelmo_processNotifyDHCPOpt43, texts(929, {{0, test_mac(9)}, {928, "M"}}));
    EXPECT_EQ(_g_device_count, count + 1);
}

TEST_F(SignalsTest, DhcpOptionFingerprints)
{
    const std::string cam = "00:1a:2b:3c:4d:5e";
    DeviceRecord r = make_record(cam);
    r.FingerprintType.set(FP_HTTP);
    r.DeviceState.set(REPORT_REPORTED);
    field_set(r.fingerprintData.http.VendorID, "V1");
    field_set(r.fingerprintData.http.UserAgent, "Cam \"2\"");
    _g_devices[_g_device_count++] = r;
    auto option55 = [&](std::initializer_list<uint8_t> codes) {
        return sent_by(zelmo_processNotifyDHCPOpt55, opt55(cam, codes));
    };
    const std::string form = "Device.FingerPrint.Description.{i}.|" + cam;

    // An HTTP-fingerprinted device is reported again with its new list, once.
    EXPECT_EQ(option55({255, 1, 255, 121, 0, 9}), (Sent{{form + ",\"255,1,121\",\"V1\",\"Cam \\\"2\\\"\""},
                                                        {"notifyDeviceStatusChange " + cam}}));
    EXPECT_EQ(stored(cam), "1 4 4 0 Ethernet|Reachable|Disassociated|host|||255,1,121");
    EXPECT_EQ(option55({255, 1, 121, 0}), Sent{});
    _g_cloud_reachable = 0;
    EXPECT_EQ(option55({1, 3}), status_change(cam));
    EXPECT_EQ(stored(cam), "1 4 2 0 Ethernet|Reachable|Disassociated|host|||1,3");
    // An empty stored list counts as changed, even against an empty one.
    _g_cloud_reachable = 1;
    _g_devices[0].Option55[0] = '\0';
    EXPECT_EQ(option55({0}).parts, std::vector<std::string>{form + ",,\"V1\",\"Cam \\\"2\\\"\""});
    EXPECT_EQ(stored(cam), "1 4 4 0 Ethernet|Reachable|Disassociated|host|||");

    // Option 43 needs a MAC and one of the vendor texts; a known client keeps its record.
    const std::string box = test_mac(7);
    root.write_lanhost(make_lanhost(box, "192.168.1.7", "box-cfg"));
    deliver(zelmo_processNotifyDHCPOpt43, texts(1056, {{0, box}, {32, "box"}, {672, "oui"}}));
    EXPECT_EQ(stored(box), "absent");
    deliver(zelmo_processNotifyDHCPOpt43, texts(1056, {{0, box}, {288, "vendor"}}));
    EXPECT_EQ(stored(box), "1 0 0 0 Ethernet|Reachable|Associated|box-cfg|||");
    deliver(zelmo_processNotifyDHCPOpt43, texts(1056, {{0, box}, {32, "other"}, {928, "M"}}));
    EXPECT_EQ(stored(box), "1 0 0 0 Ethernet|Reachable|Associated|box-cfg|||");
}

TEST_F(SignalsTest, LanhostAndInterfaceUpdatesOfKnownHosts)
{
    const std::string tablet = test_mac(1), remote = test_mac(2), tv = test_mac(3);
    DeviceRecord wifi = make_record(make_lanhost(tablet, "192.168.1.31", "tab", "802.11", 1));
    field_set(wifi.InterfaceStatus, "Associated");
    DeviceRecord satellite = wifi, wired = make_record(tv);
    field_set(satellite.lanHostEntry.MACAddress, remote.c_str());
    satellite.lanHostEntry.BehindQuillo.set(1);
    wired.Status.set(STATUS_INACTIVE);
    field_set(wired.InterfaceStatus, "Associated");
    for (const DeviceRecord &r : {wifi, satellite, wired})
        _g_devices[_g_device_count++] = r;
    root.write_lanhost(wifi.lanHostEntry);

    // An ordinary Inactive entry keeps the association of a Wi-Fi host (the
    // received interface type gives way to the stored one), not behind a satellite.
    LanHostEntryObject wired_view = wifi.lanHostEntry;
    field_set(wired_view.InterfaceType, "Ethernet");
    Sent s = sent_by([&] {
        deliver(zelmo_processSetLanhostEntry, lanhost_update(wired_view, STATUS_INACTIVE));
        deliver(zelmo_processSetLanhostEntry, lanhost_update(satellite.lanHostEntry, STATUS_INACTIVE));
    });
    EXPECT_EQ(stored(tablet), "1 4 0 0 802.11|Not Reachable|Associated|tab|||");
    EXPECT_EQ(stored(remote), "0 4 0 0 802.11|Not Reachable|Disassociated|tab|||");
    EXPECT_EQ(s, (Sent{{}, {"notifyDeviceStatusChange " + tablet, "notifyDeviceStatusChange " + remote}}));
    // A sync entry stores its action at once; then nothing else has changed.
    EXPECT_EQ(sent_by(zelmo_processSetLanhostEntry, lanhost_update(wired.lanHostEntry, STATUS_ACTIVE, 1)),
              Sent{});
    EXPECT_EQ(stored(tv), "1 4 0 0 Ethernet|Reachable|Associated|host|||");

    // Seen on a wired port: the Wi-Fi host without SSID moves to Ethernet,
    // where it counts as present only while reachable; a wired host stays.
    LanHostEntryObject moved = wifi.lanHostEntry;
    memset(moved.InterfaceType, 0, sizeof moved.InterfaceType);
    field_set(moved.InterfaceType, "Ethernet");
    EXPECT_EQ(sent_by(zelmo_processNotifyDeviceInterfaceUpdate, texts(128, {{0, tablet}, {64, "eth1"}})),
              (Sent{{"Device.Hosts.Host.{i}.|192.168.1.31,DHCP,86400," + tablet +
                     ",tab,Ethernet,false,,,0,Not Reachable,Associated,0"},
                    {"notifyDeviceStatusChange " + tablet}}));
    EXPECT_EQ(stored(tablet), "0 4 0 0 Ethernet|Not Reachable|Associated|tab|||");
    EXPECT_EQ(to_bytes(*root.read_lanhost(tablet)), to_bytes(moved));
    // A wired host, and the removal of a host that is not in the table, change nothing.
    EXPECT_EQ(sent_by([&] {
                  deliver(zelmo_processNotifyDeviceInterfaceUpdate, texts(128, {{0, tv}}));
                  deliver(zelmo_processDelLanhostEntry, texts(104, {{72, test_mac(9)}}));
              }),
              Sent{});
    EXPECT_EQ(_g_device_count, 3);

    // SSID 0 is on the first band; the type of a host that the configuration
    // store does not hold changes in the table only.
    deliver(zelmo_processNotifyWDPRootAssocDevStatusChange, wdp(0, 1, 1, tablet));
    deliver(zelmo_processNotifyWDPRootAssocDevStatusChange, wdp(9, 1, 1, remote));
    EXPECT_EQ(stored(tablet).substr(0, 15), "1 4 0 0 802.11|");
    EXPECT_STREQ(root.read_lanhost(tablet)->InterfaceType, "802.11");
    EXPECT_EQ(stored(remote).substr(0, 17), "1 4 0 9 802.11ac|");
    EXPECT_FALSE(root.read_lanhost(remote));
}
