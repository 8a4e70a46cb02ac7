// Host updates through the running daemon: the rows of the update handler's
// state table, by the state of the record before the message.
#include "tracking_env.h"

#include <algorithm>

using V = std::vector<int32_t>; // Status, HostState, DeviceState

TEST(HostUpdate, DevicesNewToTheTable)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready);
    ASSERT_TRUE(d.host(lanhost_entry(1), STATUS_REMOVED)); // unknown and removed: nothing at all

    // First sighting, session closed: uploaded anyway, timer started, notified.
    ASSERT_TRUE(d.host(lanhost_entry(2), STATUS_ACTIVE, "Reachable", "Associated", 3));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));
    EXPECT_FALSE(d.record(1));
    auto r = d.record(2);
    ASSERT_TRUE(r);
    EXPECT_EQ(states(r), (V{STATUS_ACTIVE, REPORT_REPORTED, REPORT_NEW}));
    EXPECT_EQ(r->FingerprintType.get(), FP_NONE);
    EXPECT_EQ(r->TimerStage.get(), 1);
    EXPECT_NE(r->timer.get(), 0u);
    EXPECT_STREQ(r->L3Status, "Reachable");
    EXPECT_EQ(to_bytes(d.notified_record("notifyDeviceAdded", 0)), to_bytes(*r)); // as stored, timer included
    EXPECT_EQ(d.uploads(), (std::vector<std::pair<std::string, std::string>>{
                               {"Device.Hosts.Host.{i}.", host_form(lanhost_entry(2), "true")}}));

    // The presence the form builder settles is the one stored: an associated
    // Wi-Fi host is present whatever the action says.
    ASSERT_TRUE(d.host(lanhost_entry(3, "802.11"), STATUS_INACTIVE, "Not Reachable", "Associated", 2));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 2));
    EXPECT_EQ(d.last_upload(), host_form(lanhost_entry(3, "802.11"), "true", "2", "Not Reachable"));
    EXPECT_EQ(d.record(3)->Status.get(), STATUS_ACTIVE);

    // A new device's entry comes from the configuration store; the message's
    // interface type wins.
    LanHostEntryObject stored = make_lanhost(test_mac(5), "192.168.1.55", "store-name", "Ethernet", 5);
    d.gw.write_lanhost(stored);
    ASSERT_TRUE(d.host(lanhost_entry(5, "802.11"), STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 3));
    field_set(stored.InterfaceType, "802.11");
    EXPECT_EQ(d.last_upload(), host_form(stored, "true"));
    EXPECT_STREQ(d.record(5)->lanHostEntry.HostName, "store-name");

    // A record entered by the DHCP server (HostState New) is handled as new,
    // even by a removal: uploaded, timer started, notifyDeviceAdded.
    Bytes opt43(1056, 0);
    memcpy(opt43.data(), test_mac(6).c_str(), 17);
    memcpy(opt43.data() + 928, "Acme", 4);
    ASSERT_TRUE(d.client.emit_signal("arvex.dhcpd", "notifyDHCPOpt43", opt43));
    ASSERT_TRUE(wait_until([&] { return d.record(6).has_value(); }, 5000ms));
    EXPECT_EQ(d.record(6)->HostState.get(), REPORT_NEW);
    ASSERT_TRUE(d.host(lanhost_entry(6), STATUS_REMOVED));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 4));
    EXPECT_EQ(states(d.record(6)), (V{STATUS_REMOVED, REPORT_REPORTED, REPORT_NEW}));
    EXPECT_EQ(d.record(6)->TimerStage.get(), 1);
    EXPECT_EQ(d.last_upload(), host_form(lanhost_entry(6), "false"));
    EXPECT_EQ(d.uploads().size(), 4u);
    EXPECT_EQ(d.notifications("notifyDeviceStatusChange"), 0u);
}

TEST(HostUpdate, KnownDevicesWithoutSession)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready);
    LanHostEntryObject pc = lanhost_entry(1);
    field_set(pc.FriendlyName, "Den");
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));

    // The same again, and with texts that differ only in letter case: ignored.
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    LanHostEntryObject upper = pc;
    field_set(upper.HostName, "HOST1");
    field_set(upper.AddressSource, "dhcp");
    ASSERT_TRUE(d.host(upper, STATUS_ACTIVE, "REACHABLE", "associated"));
    ASSERT_TRUE(d.logged("No change in state. So ignore..!", 2));

    // Only its letter case changes: not "no change" (the one case-sensitive
    // comparison), yet no identity change either, so stored without upload.
    field_set(pc.FriendlyName, "den");
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 1));
    EXPECT_STREQ(d.record(1)->lanHostEntry.FriendlyName, "den");
    EXPECT_EQ(d.uploads().size(), 1u);

    // A new address is uploaded (the Ethernet host that is not reachable any more: absent).
    field_set(pc.IPAddress, "192.168.1.99");
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE, "Not Reachable"));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 2));
    EXPECT_EQ(d.uploads().size(), 2u);
    EXPECT_EQ(d.last_upload(), host_form(pc, "false", "", "Not Reachable"));

    // Removed while Inactive and Reported: stored, never uploaded; the stored
    // entry stays, with HostActive cleared.
    ASSERT_TRUE(d.host(make_lanhost(test_mac(1), "0.0.0.0", "other"), STATUS_REMOVED));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 3));
    auto r = d.record(1);
    EXPECT_EQ(states(r), (V{STATUS_REMOVED, REPORT_REPORTED, REPORT_NEW}));
    EXPECT_STREQ(r->lanHostEntry.IPAddress, "192.168.1.99");
    EXPECT_EQ(r->lanHostEntry.HostActive.get(), 0);
    EXPECT_EQ(d.uploads().size(), 2u);

    // Removed while Active and Reported, no session: stored as Reported silently.
    ASSERT_TRUE(d.host(lanhost_entry(2), STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 2));
    const uint32_t timer = d.record(2)->timer.get();
    ASSERT_TRUE(d.host(lanhost_entry(2), STATUS_REMOVED));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 4));
    EXPECT_EQ(states(d.record(2)), (V{STATUS_REMOVED, REPORT_REPORTED, REPORT_NEW}));
    EXPECT_EQ(d.uploads().size(), 3u);
    EXPECT_EQ(to_bytes(d.notified_record("notifyDeviceStatusChange", 3)), to_bytes(*d.record(2)));
    // Back again: its running schedule is kept, not doubled.
    ASSERT_TRUE(d.host(lanhost_entry(2), STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 5));
    EXPECT_EQ(d.record(2)->timer.get(), timer);
}

TEST(HostUpdate, SessionsFailedUploadsAndOtherMessages)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready);
    LanHostEntryObject cam = lanhost_entry(1);
    ASSERT_TRUE(d.host(cam, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));
    ASSERT_TRUE(d.signal("arvex.cfgmgr", "notifySessionStart", "Session_START", "session start received"));
    size_t uploads = d.uploads().size();

    // With a session open, a removal of an active device is uploaded, and so
    // is a change of presence alone.
    ASSERT_TRUE(d.host(cam, STATUS_REMOVED, "Not Reachable", "Disassociated"));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 1));
    EXPECT_EQ(d.last_upload(), host_form(cam, "false")); // the stored entry and texts
    EXPECT_EQ(states(d.record(1)), (V{STATUS_REMOVED, REPORT_REPORTED, REPORT_NEW}));
    ASSERT_TRUE(d.host(cam, STATUS_ACTIVE, "Not Reachable"));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 2));
    EXPECT_EQ(d.last_upload(), host_form(cam, "false", "", "Not Reachable"));
    EXPECT_EQ(d.uploads().size(), uploads + 2);

    // A failed upload leaves Reporting (the record is stored all the same),
    // and the next uploads are not even tried.
    d.cloud_down();
    field_set(cam.IPAddress, "192.168.1.77");
    ASSERT_TRUE(d.host(cam, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 3));
    EXPECT_EQ(states(d.record(1)), (V{STATUS_ACTIVE, REPORT_REPORTING, REPORT_NEW}));
    EXPECT_STREQ(d.record(1)->lanHostEntry.IPAddress, "192.168.1.77");
    d.cloud_up();
    ASSERT_TRUE(d.host(lanhost_entry(2), STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 2));
    EXPECT_EQ(d.record(2)->HostState.get(), REPORT_REPORTING);

    // Reporting never counts as "no change": the same update again is
    // uploaded once the cloud is reachable.
    ASSERT_TRUE(d.reachable_again());
    ASSERT_TRUE(d.host(cam, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 4));
    EXPECT_EQ(d.record(1)->HostState.get(), REPORT_REPORTED);
    EXPECT_EQ(d.last_upload(), host_form(cam, "true"));

    // Other objtypes and an action of 3 or more only check the capture chain and save.
    const Bytes before = d.gw.read_db();
    auto checks = [&] {
        auto calls = d.tools.calls("iptables");
        return std::count(calls.begin(), calls.end(), "-t nat -L PREROUTING -nv");
    };
    const auto checked = checks();
    ASSERT_TRUE(send_message(make_device_update_message(5, STATUS_ACTIVE, test_mac(1))) &&
                d.host(lanhost_entry(3), 3) && d.settle());
    EXPECT_GE(checks(), checked + 2);
    EXPECT_EQ(d.gw.read_db(), before);
    EXPECT_FALSE(d.record(3));
    EXPECT_EQ(d.notifications("notifyDeviceStatusChange"), 4u);
    EXPECT_EQ(d.zelmo->count_output("No change in state"), 0u);
}
