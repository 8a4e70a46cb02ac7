// Shared set-up of the device table tests: a fresh table whose database
// lives in a temporary gateway root.
#pragma once

#include "devtable/devtable.h"
#include "fixture/fixture.h"
#include "frame/frame.h"

#include <gtest/gtest.h>

class TableTest : public ::testing::Test
{
  protected:
    GatewayRoot gw;
    void SetUp() override
    {
        ASSERT_EQ(devtable_alloc(), 0);
        field_set(_g_file, gw.db_path().c_str());
    }
    // Appends a record for mac directly to the table.
    static DeviceRecord &add(const std::string &mac, int32_t status = STATUS_ACTIVE, int32_t seconds = 0)
    {
        DeviceRecord &r = _g_devices[_g_device_count++];
        r = make_record(mac);
        r.Status.set(status);
        r.LastReportedTimeSec.set(seconds);
        return r;
    }
    static std::string mac_at(int i) { return _g_devices[i].lanHostEntry.MACAddress; }
};
