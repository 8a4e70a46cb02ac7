// Placeholders for operations not built yet; each moves out as it is implemented.
#include "bus/notify.h"
int sentDeviceUpdateToDbus(const DeviceRecord *, uint32_t, uint32_t, LanHostNotifyFn) { return 0; }
int sendSyncAllDevicesToDbus() { return 0; }
