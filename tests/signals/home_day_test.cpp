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
    const Processor assoc = zelmo_processNotifyWDPRootAssocDevStatusChange,
                    lanhost = zelmo_processSetLanhostEntry;
    const Sent nothing;

    // The phone associates on SSID 1: entered, not reported.
    EXPECT_EQ(sent_by(assoc, wdp(1, 1, 1, phone)), nothing);
    EXPECT_EQ(stored(phone), "1 0 0 1 802.11|Not Reachable|Associated|phone|||");
    // The LAN host daemon's own report of it is the first one.
    EXPECT_EQ(sent_by(lanhost, lanhost_update(phone_entry, STATUS_ACTIVE)),
              (Sent{{host + "21,DHCP,86400," + phone + ",phone,802.11,true,,,0,Reachable,Associated,0"},
                    {"notifyDeviceAdded " + phone}}));
    EXPECT_EQ(stored(phone), "1 4 0 1 802.11|Reachable|Associated|phone|||");

    // It roams to SSID 2 on the same band (association codes 0 and 2 are
    // ignored, the SSID they carry too), then to SSID 5 on the other band,
    // which changes its interface type in the table and the configuration
    // store; nothing else changed, so nothing is reported.
    const Bytes same_band = root.read_object(CFG_OID_LANHOST, phone_entry.instanceId);
    EXPECT_EQ(sent_by([&] {
                  for (uint8_t code : {1, 0, 2})
                      deliver(assoc, wdp(code == 1 ? 2 : 3, 1, code, phone));
              }),
              nothing);
    EXPECT_EQ(stored(phone), "1 4 0 2 802.11|Reachable|Associated|phone|||");
    EXPECT_EQ(root.read_object(CFG_OID_LANHOST, phone_entry.instanceId), same_band);
    LanHostEntryObject roamed = *root.read_lanhost(phone);
    memset(roamed.InterfaceType, 0, sizeof roamed.InterfaceType);
    field_set(roamed.InterfaceType, "802.11ac");
    EXPECT_EQ(sent_by(assoc, wdp(5, 1, 1, phone)), nothing);
    EXPECT_EQ(stored(phone), "1 4 0 5 802.11ac|Reachable|Associated|phone|||");
    EXPECT_EQ(to_bytes(*root.read_lanhost(phone)), to_bytes(roamed));
    // It disassociates: Inactive whatever status the daemon gave.
    EXPECT_EQ(sent_by(assoc, wdp(5, 1, 3, phone)), status_change(phone));
    EXPECT_EQ(stored(phone), "0 4 0 5 802.11ac|Reachable|Disassociated|phone|||");

    // The laptop appears on Ethernet (reported like the phone), becomes unreachable, is removed.
    sent_by(lanhost, lanhost_update(laptop_entry, STATUS_ACTIVE));
    EXPECT_EQ(stored(laptop), "1 4 0 0 Ethernet|Reachable|Associated|laptop|||");
    EXPECT_EQ(sent_by(lanhost, lanhost_update(laptop_entry, STATUS_INACTIVE)), status_change(laptop));
    EXPECT_EQ(stored(laptop), "0 4 0 0 Ethernet|Not Reachable|Disassociated|laptop|||");
    EXPECT_EQ(sent_by(zelmo_processDelLanhostEntry, texts(104, {{72, laptop}})), status_change(laptop));
    EXPECT_EQ(stored(laptop), "2 4 0 0 Ethernet|Not Reachable|Disassociated|laptop|||");

    // The printer sends option 43 with its DHCP host name, then option 55
    // (twice): entered and fingerprinted, never reported from here.
    EXPECT_EQ(
        sent_by([&] {
            deliver(
                zelmo_processNotifyDHCPOpt43,
                texts(1056,
                      {{0, printer}, {32, "printer-1"}, {160, "LaserJet"}, {672, "00C0FF"}, {928, "HP"}}));
            deliver(zelmo_processNotifyDHCPOpt55, opt55(printer, {1, 3, 6, 15, 255, 0}));
            deliver(zelmo_processNotifyDHCPOpt55, opt55(printer, {1, 3, 6, 15, 255, 0}));
        }),
        nothing);
    EXPECT_EQ(stored(printer), "1 0 0 0 Ethernet|Reachable|Associated|printer-1|||1,3,6,15");

    // The user names the phone (the configuration manager stores the name
    // first), then marks it as guest: only the name is reported.
    LanHostEntryObject named = *root.read_lanhost(phone);
    field_set(named.FriendlyName, "Anna's phone");
    root.write_lanhost(named);
    EXPECT_EQ(sent_by(zelmo_processNotifyUpdateToZelmo, texts(169, {{8, phone}, {104, "Anna's phone"}})),
              (Sent{{host + "21,DHCP,86400," + phone +
                     ",phone,802.11ac,false,Anna's phone,5,0,Reachable,Disassociated,0"},
                    {"notifyDeviceStatusChange " + phone}}));
    EXPECT_EQ(stored(phone), "0 4 0 5 802.11ac|Reachable|Disassociated|phone|Anna's phone||");
    EXPECT_EQ(sent_by(zelmo_processNotifyUpdateToZelmo,
                      texts(169, {{8, phone}, {40, "Guest"}, {104, "Anna's phone"}})),
              nothing);
    EXPECT_EQ(stored(phone), "0 4 0 5 802.11ac|Reachable|Disassociated|phone|Anna's phone|Guest|");

    // The LAN host daemon resynchronises: the removed laptop is back.
    EXPECT_EQ(sent_by(lanhost, lanhost_update(laptop_entry, STATUS_ACTIVE, 1)), status_change(laptop));
    EXPECT_EQ(stored(laptop), "1 4 0 0 Ethernet|Reachable|Associated|laptop|||");
}
