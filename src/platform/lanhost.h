// LAN host daemon client: one-way method calls to "arvex.lanhostd".
#pragma once

#include <cstdint>

// Each sends the len message bytes as one `ay` argument; 0 when handed to
// the bus, -1 otherwise. Safe to call from several threads at once.
int notifyDeviceAdded(const void *msg, uint32_t len);
int notifyDeviceStatusChange(const void *msg, uint32_t len);
int notifyDeviceInfoUpdate(const void *msg, uint32_t len);
int notifySyncAllDevices(const void *msg, uint32_t len);
int notifyDeviceCategoryInfo(const void *msg, uint32_t len);
int lh_UpdateZelmoDevice(void);

using LanHostNotifyFn = int (*)(const void *msg, uint32_t len);
