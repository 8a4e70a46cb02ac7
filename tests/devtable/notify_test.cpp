// Notification bytes as the LAN host daemon receives them over the bus.
#include "bus/notify.h"
#include "table_helpers.h"

#include <algorithm>

TEST_F(TableTest, NotificationsCarryRecordImages)
{
    PrivateBus bus;
    RecordingLanHost lanhost;
    for (int i = 0; i < 3; ++i)
        add(test_mac(i)).HDDState.set(40 + i);

    EXPECT_EQ(sentDeviceUpdateToDbus(&_g_devices[1], 1, sizeof(DeviceRecord), notifyDeviceStatusChange), 0);
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceStatusChange", 1, 5s));
    Bytes one = lanhost.calls("notifyDeviceStatusChange")[0].bytes();
    ASSERT_EQ(one.size(), 4941u);
    EXPECT_EQ(u32_at(one, 0), 1u);
    EXPECT_EQ(memcmp(one.data() + 4, &_g_devices[1], sizeof(DeviceRecord)), 0);
    EXPECT_EQ(bytes_at(one, 4936, 5), std::string(5, '\0'));

    // Start-up reset sends the whole table, zero behind the last record.
    clear_all_timers();
    ASSERT_TRUE(lanhost.wait_for("notifySyncAllDevices", 1, 5s));
    Bytes all = lanhost.calls("notifySyncAllDevices")[0].bytes();
    ASSERT_EQ(all.size(), 1262601u);
    EXPECT_EQ(u32_at(all, 0), 3u);
    EXPECT_EQ(memcmp(all.data() + 4, _g_devices, 3 * sizeof(DeviceRecord)), 0);
    EXPECT_EQ(_g_devices[2].Status.get(), STATUS_REMOVED);
    size_t tail = 4 + 3 * sizeof(DeviceRecord);
    EXPECT_EQ(std::count(all.begin() + long(tail), all.end(), 0), long(all.size() - tail));

    // An empty table at start-up sends nothing.
    ASSERT_EQ(devtable_alloc(), 0);
    clear_all_timers();
    EXPECT_FALSE(lanhost.wait_for("notifySyncAllDevices", 2, 300ms));
}
