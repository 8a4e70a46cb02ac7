// A day of a small home, signal by signal: a phone on Wi-Fi, a laptop on
// Ethernet, a printer that only speaks DHCP. After every step: the record in
// the database file, the cloud parts and the LAN host notifications.
#include "signals_env.h"

TEST_F(SignalsTest, DayOfASmallHome)
{
    const std::string phone = test_mac(1), laptop = test_mac(2), printer = test_mac(3);
    LanHostEntryObject phone_entry = make_lanhost(phone, "192.168.1.21", "phone", "802.11", 1);
    LanHostEntryObject laptop_entry = make_lanhost(laptop, "192.168.1.22", "laptop", "Ethernet", 2);
    root.write_lanhost(phone_entry);
    root.write_lanhost(laptop_entry);
    root.write_lanhost(make_lanhost(printer, "192.168.1.23", "PRN-CFG", "Ethernet", 3));
    const std::string host = "Device.Hosts.Host.{i}.|192.168.1.";

    // The phone associates on SSID 1: entered, not reported.
    Sent s = sent_by([&] { deliver(zelmo_processNotifyWDPRootAssocDevStatusChange, wdp(1, 1, 1, phone)); });
    EXPECT_EQ(stored(phone), "1 0 0 1 802.11|Not Reachable|Associated|phone|||");
    EXPECT_TRUE(s.parts.empty() && s.notes.empty());
    // The LAN host daemon's own report of it is the first one.
    s = sent_by([&] { deliver(zelmo_processSetLanhostEntry, lanhost_update(phone_entry, STATUS_ACTIVE)); });
    EXPECT_EQ(stored(phone), "1 4 0 1 802.11|Reachable|Associated|phone|||");
    EXPECT_EQ(s.parts, std::vector<std::string>{host + "21,DHCP,86400," + phone +
                                                ",phone,802.11,true,,,0,Reachable,Associated,0"});
    EXPECT_EQ(s.notes, std::vector<std::string>{"notifyDeviceAdded " + phone});

    // It roams to SSID 2 on the same band, then to SSID 5 on the other band,
    // which changes its interface type in the table and the configuration
    // store; nothing else changed, so nothing is reported.
    // Association codes 0 and 2 are ignored, the SSID they carry too.
    const Bytes same_band = root.read_object(CFG_OID_LANHOST, phone_entry.instanceId);
    s = sent_by([&] {
        for (uint8_t code : {1, 0, 2})
            deliver(zelmo_processNotifyWDPRootAssocDevStatusChange, wdp(code == 1 ? 2 : 3, 1, code, phone));
    });
    EXPECT_EQ(stored(phone), "1 4 0 2 802.11|Reachable|Associated|phone|||");
    EXPECT_EQ(root.read_object(CFG_OID_LANHOST, phone_entry.instanceId), same_band);
    EXPECT_TRUE(s.parts.empty() && s.notes.empty());
    LanHostEntryObject roamed = *root.read_lanhost(phone);
    memset(roamed.InterfaceType, 0, sizeof roamed.InterfaceType);
    field_set(roamed.InterfaceType, "802.11ac");
    s = sent_by([&] { deliver(zelmo_processNotifyWDPRootAssocDevStatusChange, wdp(5, 1, 1, phone)); });
    EXPECT_EQ(stored(phone), "1 4 0 5 802.11ac|Reachable|Associated|phone|||");
    EXPECT_EQ(to_bytes(*root.read_lanhost(phone)), to_bytes(roamed));
    EXPECT_TRUE(s.parts.empty() && s.notes.empty());
    // It disassociates: Inactive whatever status the daemon gave.
    s = sent_by([&] { deliver(zelmo_processNotifyWDPRootAssocDevStatusChange, wdp(5, 1, 3, phone)); });
    EXPECT_EQ(stored(phone), "0 4 0 5 802.11ac|Reachable|Disassociated|phone|||");
    EXPECT_TRUE(s.parts.empty());
    EXPECT_EQ(s.notes, std::vector<std::string>{"notifyDeviceStatusChange " + phone});

    // The laptop appears on Ethernet, becomes unreachable, is removed.
    s = sent_by([&] { deliver(zelmo_processSetLanhostEntry, lanhost_update(laptop_entry, STATUS_ACTIVE)); });
    EXPECT_EQ(stored(laptop), "1 4 0 0 Ethernet|Reachable|Associated|laptop|||");
    EXPECT_EQ(s.parts, std::vector<std::string>{host + "22,DHCP,86400," + laptop +
                                                ",laptop,Ethernet,true,,,0,Reachable,Associated,0"});
    EXPECT_EQ(s.notes, std::vector<std::string>{"notifyDeviceAdded " + laptop});
    s = sent_by(
        [&] { deliver(zelmo_processSetLanhostEntry, lanhost_update(laptop_entry, STATUS_INACTIVE)); });
    EXPECT_EQ(stored(laptop), "0 4 0 0 Ethernet|Not Reachable|Disassociated|laptop|||");
    EXPECT_TRUE(s.parts.empty());
    EXPECT_EQ(s.notes, std::vector<std::string>{"notifyDeviceStatusChange " + laptop});
    s = sent_by([&] { deliver(zelmo_processDelLanhostEntry, texts(104, {{72, laptop}})); });
    EXPECT_EQ(stored(laptop), "2 4 0 0 Ethernet|Not Reachable|Disassociated|laptop|||");
    EXPECT_TRUE(s.parts.empty());
    EXPECT_EQ(s.notes, std::vector<std::string>{"notifyDeviceStatusChange " + laptop});

    // The printer sends option 43 with its DHCP host name, then option 55
    // (twice): entered and fingerprinted, never reported from here.
    Bytes vendor =
        texts(1056, {{0, printer}, {32, "printer-1"}, {160, "LaserJet"}, {672, "00C0FF"}, {928, "HP"}});
    s = sent_by([&] {
        deliver(zelmo_processNotifyDHCPOpt43, vendor);
        deliver(zelmo_processNotifyDHCPOpt55, opt55(printer, {1, 3, 6, 15, 255, 0}));
    });
    EXPECT_EQ(stored(printer), "1 0 0 0 Ethernet|Reachable|Associated|printer-1|||1,3,6,15");
    EXPECT_TRUE(s.parts.empty() && s.notes.empty());

    // The user names the phone (the configuration manager stores the name
    // first), then marks it as guest: only the name is reported.
    LanHostEntryObject named = *root.read_lanhost(phone);
    field_set(named.FriendlyName, "Anna's phone");
    root.write_lanhost(named);
    s = sent_by([&] {
        deliver(zelmo_processNotifyUpdateToZelmo, texts(169, {{8, phone}, {104, "Anna's phone"}}));
    });
    EXPECT_EQ(stored(phone), "0 4 0 5 802.11ac|Reachable|Disassociated|phone|Anna's phone||");
    EXPECT_EQ(s.parts,
              std::vector<std::string>{host + "21,DHCP,86400," + phone +
                                       ",phone,802.11ac,false,Anna's phone,5,0,Reachable,Disassociated,0"});
    EXPECT_EQ(s.notes, std::vector<std::string>{"notifyDeviceStatusChange " + phone});
    s = sent_by([&] {
        deliver(zelmo_processNotifyUpdateToZelmo,
                texts(169, {{8, phone}, {40, "Guest"}, {104, "Anna's phone"}}));
    });
    EXPECT_EQ(stored(phone), "0 4 0 5 802.11ac|Reachable|Disassociated|phone|Anna's phone|Guest|");
    EXPECT_TRUE(s.parts.empty() && s.notes.empty());

    // The LAN host daemon resynchronises: the removed laptop is back.
    s = sent_by(
        [&] { deliver(zelmo_processSetLanhostEntry, lanhost_update(laptop_entry, STATUS_ACTIVE, 1)); });
    EXPECT_EQ(stored(laptop), "1 4 0 0 Ethernet|Reachable|Associated|laptop|||");
    EXPECT_TRUE(s.parts.empty());
    EXPECT_EQ(s.notes, std::vector<std::string>{"notifyDeviceStatusChange " + laptop});
}
