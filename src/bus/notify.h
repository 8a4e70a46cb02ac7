// Outbound device notifications to the LAN host daemon.
#pragma once

#include "devtable/device_record.h"
#include "platform/lanhost.h"

#include <cstdint>

int sentDeviceUpdateToDbus(const DeviceRecord *record, uint32_t count, uint32_t length, LanHostNotifyFn notifier);
int sendSyncAllDevicesToDbus();
