// Placeholders for operations not built yet; each moves out as it is implemented.
#include "bus/bus.h"
#include "bus/notify.h"
#include "platform/log.h"
int start_zelmo_service() { ZLOG(ZLOG_ERR, "not built yet\n"); return -1; }
int sentDeviceUpdateToDbus(const DeviceRecord *, uint32_t, uint32_t, LanHostNotifyFn) { return 0; }
int sendSyncAllDevicesToDbus() { return 0; }
