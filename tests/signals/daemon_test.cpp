// The real daemon on the private bus: sibling daemons' signals change the
// database file and reach the cloud and the LAN host daemon; a short cloud
// session ends by itself.
#include "signals_env.h"

TEST_F(SignalsTest, DaemonFollowsSiblingSignalsAndSessions)
{
    root.write_wifi_mode("RGW");
    root.write_device_info("A1B2C3", "XS-010", "SN 0001");
    const std::string phone = test_mac(1), laptop = test_mac(2);
    LanHostEntryObject laptop_entry = make_lanhost(laptop, "192.168.1.22", "laptop");
    root.write_lanhost(laptop_entry);
    lanhost.add_host(laptop_entry, STATUS_ACTIVE);
    DaemonProcess zelmo({"-d", "1"});
    auto becomes = [&](const std::string &mac, const std::string &line) {
        return wait_until([&] { return stored(mac) == line; }, 5000ms);
    };
    auto last_row = [&] {
        std::string data = cloud.requests().back().parts.at(0).data;
        return data.substr(data.rfind("192.168.1.22"));
    };

    // The LAN host daemon's resynchronisation after start brings the laptop.
    ASSERT_TRUE(lanhost.wait_for("UpdateZelmoDevice", 1, 10000ms));
    EXPECT_TRUE(becomes(laptop, "1 4 0 0 Ethernet|Reachable|Associated|laptop|||"));
    EXPECT_TRUE(lanhost.wait_for("notifyDeviceAdded", 1, 5000ms));

    BusClient client;
    client.emit_signal("arvex.wdp", "notifyWDPRootAssocDevStatus", wdp(4, 1, 1, phone));
    EXPECT_TRUE(becomes(phone, "1 0 0 4 802.11|Not Reachable|Associated||||"));
    client.emit_signal("arvex.dhcpd", "notifyDHCPOpt55", opt55(phone, {1, 3, 6, 0}));
    EXPECT_TRUE(becomes(phone, "1 0 0 4 802.11|Not Reachable|Associated||||1,3,6"));

    // A two-second session: the start uploads the table, a status change is
    // uploaded while it is open and not after it ended.
    const size_t before = cloud.requests().size();
    client.emit_signal("arvex.cfgmgr", "notifySessionStart",
                       to_bytes(std::string("Session_START timeout=2")));
    ASSERT_TRUE(cloud.wait_requests(before + 1, 5000));
    EXPECT_EQ(last_row(),
              "192.168.1.22,DHCP,86400," + laptop + ",laptop,Ethernet,true,,,0,Reachable,Associated,0\n");
    lanhost.emit("setLanhostEntry", lanhost_update(laptop_entry, STATUS_INACTIVE));
    ASSERT_TRUE(cloud.wait_requests(before + 2, 5000));
    EXPECT_EQ(last_row(), "192.168.1.22,DHCP,86400," + laptop +
                              ",laptop,Ethernet,false,,,0,Not Reachable,Disassociated,0");
    EXPECT_TRUE(zelmo.wait_for_output("stop cloud session", 5000ms));
    lanhost.emit("setLanhostEntry", lanhost_update(laptop_entry, STATUS_ACTIVE));
    EXPECT_TRUE(lanhost.wait_for("notifyDeviceStatusChange", 2, 5000ms));
    EXPECT_EQ(stored(laptop), "1 4 0 0 Ethernet|Reachable|Associated|laptop|||");
    EXPECT_EQ(cloud.requests().size(), before + 2);
}
