// Host updates through the running daemon: every row of the update handler's
// state table, by the record's state before the message.
#include "tracking_env.h"

#include <algorithm>

namespace
{

// The DHCP option 43 record of a client (MAC at 0, manufacturer at 928).
Bytes opt43(const std::string &mac)
{
    Bytes payload(1056, 0);
    memcpy(payload.data(), mac.c_str(), mac.size());
    memcpy(payload.data() + 928, "Acme", 4);
    return payload;
}

} // namespace

TEST(HostUpdate, DevicesNewToTheTable)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready) << d.zelmo->stderr_text();

    // Removed for a MAC the table does not know: nothing at all.
    LanHostEntryObject gone = make_lanhost(test_mac(1), "192.168.1.11", "gone");
    ASSERT_TRUE(d.host(gone, STATUS_REMOVED));

    // First sighting, session closed, cloud reachable.
    LanHostEntryObject pc = make_lanhost(test_mac(2), "192.168.1.12", "pc");
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE, "Reachable", "Associated", 3));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));
    EXPECT_EQ(d.record_count(), 1u);
    EXPECT_FALSE(d.record(test_mac(1)));
    auto r = d.record(test_mac(2));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Status.get(), STATUS_ACTIVE);
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTED);
    EXPECT_EQ(r->DeviceState.get(), REPORT_NEW);
    EXPECT_EQ(r->FingerprintType.get(), FP_NONE);
    EXPECT_EQ(r->TimerStage.get(), 1);
    EXPECT_NE(r->timer.get(), 0u);
    EXPECT_STREQ(r->L3Status, "Reachable");
    EXPECT_STREQ(r->InterfaceStatus, "Associated");
    auto sent = d.notified_record("notifyDeviceAdded", 0);
    ASSERT_TRUE(sent);
    EXPECT_EQ(to_bytes(*sent), to_bytes(*r)); // the record as stored, timer included
    auto up = d.uploads();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].first, kHostForm);
    EXPECT_EQ(up[0].second, kHostHeader + host_row(pc, "true", "", "Reachable", "Associated"));

    // Presence is settled by the form builder: an associated Wi-Fi host is
    // present whatever the message says, a disassociated one is not.
    LanHostEntryObject phone = make_lanhost(test_mac(3), "192.168.1.13", "phone", "802.11");
    LanHostEntryObject tablet = make_lanhost(test_mac(4), "192.168.1.14", "tablet", "802.11");
    ASSERT_TRUE(d.host(phone, STATUS_INACTIVE, "Not Reachable", "Associated", 2));
    ASSERT_TRUE(d.host(tablet, STATUS_ACTIVE, "Reachable", "Disassociated", 1));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 3));
    EXPECT_EQ(d.record(test_mac(3))->Status.get(), STATUS_ACTIVE);
    EXPECT_EQ(d.record(test_mac(4))->Status.get(), STATUS_INACTIVE);
    up = d.uploads();
    ASSERT_EQ(up.size(), 3u);
    EXPECT_EQ(up[1].second, kHostHeader + host_row(phone, "true", "2", "Not Reachable", "Associated"));
    EXPECT_EQ(up[2].second, kHostHeader + host_row(tablet, "false", "1", "Reachable", "Disassociated"));

    // A new device's entry is completed from the configuration store; the
    // interface type of the message wins.
    LanHostEntryObject stored = make_lanhost(test_mac(5), "192.168.1.55", "store-name", "Ethernet", 5);
    d.gw.write_lanhost(stored);
    LanHostEntryObject announced = make_lanhost(test_mac(5), "192.168.1.15", "msg-name", "802.11", 5);
    ASSERT_TRUE(d.host(announced, STATUS_ACTIVE, "Reachable", "Associated"));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 4));
    r = d.record(test_mac(5));
    EXPECT_STREQ(r->lanHostEntry.HostName, "store-name");
    EXPECT_STREQ(r->lanHostEntry.IPAddress, "192.168.1.55");
    EXPECT_STREQ(r->lanHostEntry.InterfaceType, "802.11");

    // A record entered by the DHCP server (HostState New) is handled as new,
    // even by a removal: reported, timer started, notifyDeviceAdded.
    ASSERT_TRUE(d.client.emit_signal("arvex.dhcpd", "notifyDHCPOpt43", opt43(test_mac(6))));
    ASSERT_TRUE(wait_until([&] { return d.record(test_mac(6)).has_value(); }, 5000ms));
    EXPECT_EQ(d.record(test_mac(6))->HostState.get(), REPORT_NEW);
    EXPECT_EQ(d.record(test_mac(6))->TimerStage.get(), 0);
    LanHostEntryObject dhcp = make_lanhost(test_mac(6), "192.168.1.16", "printer");
    ASSERT_TRUE(d.host(dhcp, STATUS_REMOVED, "Reachable", "Associated"));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 5));
    r = d.record(test_mac(6));
    EXPECT_EQ(r->Status.get(), STATUS_REMOVED);
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTED);
    EXPECT_EQ(r->TimerStage.get(), 1);
    EXPECT_NE(r->timer.get(), 0u);
    up = d.uploads();
    ASSERT_EQ(up.size(), 5u);
    LanHostEntryObject merged = stored;
    field_set(merged.InterfaceType, "802.11");
    EXPECT_EQ(up[3].second, kHostHeader + host_row(merged, "true", "", "Reachable", "Associated"));
    EXPECT_EQ(up[4].second, kHostHeader + host_row(dhcp, "false", "", "Reachable", "Associated"));
    EXPECT_EQ(d.notifications("notifyDeviceStatusChange"), 0u);
}

TEST(HostUpdate, KnownDevicesWithoutSession)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready) << d.zelmo->stderr_text();
    LanHostEntryObject pc = make_lanhost(test_mac(1), "192.168.1.21", "pc");
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));

    // The same update again, and one whose host name differs only in case: ignored.
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    LanHostEntryObject upper = pc;
    field_set(upper.HostName, "PC");
    field_set(upper.AddressSource, "dhcp");
    ASSERT_TRUE(d.host(upper, STATUS_ACTIVE, "REACHABLE"));
    ASSERT_TRUE(d.logged("No change in state. So ignore..!", 2));

    // A friendly name appears: an identity change, uploaded without a session.
    LanHostEntryObject named = pc;
    field_set(named.FriendlyName, "Den");
    ASSERT_TRUE(d.host(named, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 1));
    EXPECT_EQ(d.notifications("notifyDeviceStatusChange"), 1u); // nothing for the ignored two
    auto up = d.uploads();
    ASSERT_EQ(up.size(), 2u);
    EXPECT_EQ(up[1].second, kHostHeader + host_row(named, "true", "", "Reachable", "Associated"));

    // Only the letter case of the friendly name changes: not "no change"
    // (the one case-sensitive comparison), but not an identity change either.
    LanHostEntryObject lower = pc;
    field_set(lower.FriendlyName, "den");
    ASSERT_TRUE(d.host(lower, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 2));
    EXPECT_EQ(d.uploads().size(), 2u);
    EXPECT_STREQ(d.record(test_mac(1))->lanHostEntry.FriendlyName, "den");
    EXPECT_EQ(d.record(test_mac(1))->HostState.get(), REPORT_REPORTED);

    // Presence alone changes (the Ethernet host is no longer reachable).
    ASSERT_TRUE(d.host(lower, STATUS_ACTIVE, "Not Reachable"));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 3));
    auto r = d.record(test_mac(1));
    EXPECT_EQ(r->Status.get(), STATUS_INACTIVE);
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTED);
    EXPECT_STREQ(r->L3Status, "Not Reachable");
    EXPECT_EQ(d.uploads().size(), 2u);

    // A new address is uploaded.
    LanHostEntryObject moved = lower;
    field_set(moved.IPAddress, "192.168.1.99");
    ASSERT_TRUE(d.host(moved, STATUS_ACTIVE, "Not Reachable"));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 4));
    up = d.uploads();
    ASSERT_EQ(up.size(), 3u);
    EXPECT_EQ(up[2].second, kHostHeader + host_row(moved, "false", "", "Not Reachable", "Associated"));
    EXPECT_STREQ(d.record(test_mac(1))->lanHostEntry.IPAddress, "192.168.1.99");

    // Removed while Inactive and Reported: stored, never uploaded; the stored
    // entry is kept with HostActive cleared.
    ASSERT_TRUE(d.host(make_lanhost(test_mac(1), "0.0.0.0", "other"), STATUS_REMOVED));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 5));
    r = d.record(test_mac(1));
    EXPECT_EQ(r->Status.get(), STATUS_REMOVED);
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTED);
    EXPECT_STREQ(r->lanHostEntry.IPAddress, "192.168.1.99");
    EXPECT_STREQ(r->lanHostEntry.HostName, "pc");
    EXPECT_EQ(r->lanHostEntry.HostActive.get(), 0);
    EXPECT_EQ(d.uploads().size(), 3u);
    EXPECT_EQ(d.log_count("Old status - INACTIVE, current action - REMOVED"), 1u);

    // Removed while Active and Reported, no session: stored as Reported silently.
    LanHostEntryObject tv = make_lanhost(test_mac(2), "192.168.1.22", "tv");
    ASSERT_TRUE(d.host(tv, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 2));
    ASSERT_TRUE(d.host(tv, STATUS_REMOVED));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 6));
    r = d.record(test_mac(2));
    EXPECT_EQ(r->Status.get(), STATUS_REMOVED);
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTED);
    EXPECT_EQ(d.uploads().size(), 4u);
    auto sent = d.notified_record("notifyDeviceStatusChange", 5);
    ASSERT_TRUE(sent);
    EXPECT_EQ(to_bytes(*sent), to_bytes(*r));

    // A known device that reappears gets no second schedule while its first one runs.
    EXPECT_EQ(r->TimerStage.get(), 1);
    const uint32_t timer = r->timer.get();
    ASSERT_TRUE(d.host(tv, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 7));
    EXPECT_EQ(d.record(test_mac(2))->timer.get(), timer);
}

TEST(HostUpdate, KnownDevicesDuringSessionAndFailedUploads)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready) << d.zelmo->stderr_text();
    LanHostEntryObject cam = make_lanhost(test_mac(1), "192.168.1.31", "cam");
    ASSERT_TRUE(d.host(cam, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));
    ASSERT_TRUE(d.open_session()); // with its full upload
    size_t uploads = d.uploads().size();

    // With a session open, a change of presence alone is uploaded, and so is a removal.
    ASSERT_TRUE(d.host(cam, STATUS_ACTIVE, "Not Reachable"));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 1));
    auto up = d.uploads();
    ASSERT_EQ(up.size(), uploads + 1);
    EXPECT_EQ(up.back().second, kHostHeader + host_row(cam, "false", "", "Not Reachable", "Associated"));
    LanHostEntryObject lamp = make_lanhost(test_mac(2), "192.168.1.32", "lamp");
    ASSERT_TRUE(d.host(lamp, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 2));
    ASSERT_TRUE(d.host(lamp, STATUS_REMOVED));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 2));
    up = d.uploads();
    ASSERT_EQ(up.size(), uploads + 3);
    EXPECT_EQ(up.back().second, kHostHeader + host_row(lamp, "false", "", "Reachable", "Associated"));
    EXPECT_EQ(d.record(test_mac(2))->Status.get(), STATUS_REMOVED);

    // A failed upload leaves the host Reporting; the record is stored all the same.
    d.cloud_down();
    LanHostEntryObject moved = cam;
    field_set(moved.IPAddress, "192.168.1.77");
    ASSERT_TRUE(d.host(moved, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 3));
    auto r = d.record(test_mac(1));
    EXPECT_EQ(r->HostState.get(), REPORT_REPORTING);
    EXPECT_STREQ(r->lanHostEntry.IPAddress, "192.168.1.77");
    LanHostEntryObject fresh = make_lanhost(test_mac(3), "192.168.1.33", "fresh");
    ASSERT_TRUE(d.host(fresh, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 3));
    EXPECT_EQ(d.record(test_mac(3))->HostState.get(), REPORT_REPORTING);

    // Reporting is never "no change": the same update is handled again and,
    // with the cloud back, uploaded (the session is still open).
    d.cloud_up();
    ASSERT_TRUE(d.reachable_again());
    ASSERT_TRUE(d.host(moved, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceStatusChange", 4));
    EXPECT_EQ(d.record(test_mac(1))->HostState.get(), REPORT_REPORTED);
    EXPECT_EQ(d.uploads().back().second,
              kHostHeader + host_row(moved, "true", "", "Reachable", "Associated"));
    EXPECT_EQ(d.log_count("No change in state. So ignore..!"), 0u);
}

TEST(HostUpdate, OtherObjectTypesAndActionsOnlyCheckTheChainAndSave)
{
    TrackingDaemon d;
    ASSERT_TRUE(d.ready) << d.zelmo->stderr_text();
    LanHostEntryObject pc = make_lanhost(test_mac(1), "192.168.1.41", "pc");
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.notified("notifyDeviceAdded", 1));
    const Bytes before = d.gw.read_db();
    auto jump_checks = [&] {
        auto calls = d.tools.calls("iptables");
        return size_t(std::count(calls.begin(), calls.end(), "-t nat -L PREROUTING -nv"));
    };
    const size_t checks = jump_checks();

    ASSERT_TRUE(send_message(make_device_update_message(0, STATUS_ACTIVE, test_mac(1))));
    ASSERT_TRUE(send_message(make_device_update_message(5, STATUS_ACTIVE, test_mac(1))));
    LanHostEntryObject other = make_lanhost(test_mac(2), "192.168.1.42", "other");
    ASSERT_TRUE(d.host(other, 3)); // an action of 3 or more
    // A shorter datagram reads as zero past its end: objtype 0 as well.
    DeviceUpdateMessage cut = make_device_update_message(FP_HOST, STATUS_ACTIVE, test_mac(1));
    cut.payload.objtype.set(0);
    ASSERT_TRUE(send_datagram(&cut, 40));
    ASSERT_TRUE(d.settle());
    EXPECT_GE(jump_checks(), checks + 4); // every message checks the jump into the capture chain
    ASSERT_TRUE(d.host(pc, STATUS_ACTIVE));
    ASSERT_TRUE(d.logged("No change in state. So ignore..!", 1));
    EXPECT_EQ(d.gw.read_db(), before);
    EXPECT_EQ(d.uploads().size(), 1u);
    EXPECT_EQ(d.notifications("notifyDeviceAdded"), 1u);
    EXPECT_EQ(d.notifications("notifyDeviceStatusChange"), 0u);
    EXPECT_FALSE(d.record(test_mac(2)));
}
