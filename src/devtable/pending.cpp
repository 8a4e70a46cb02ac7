// Placeholders for operations not built yet; each moves out as it is implemented.
#include "devtable/devtable.h"
#include "platform/log.h"
DeviceRecord *_g_devices = nullptr;
int32_t _g_device_count = 0;
int devtable_alloc() { return -1; }
int Init() { return -1; }
int update_db() { return -1; }
uint32_t is_newdevice(const char *, int *) { return 1; }
int update_device(const char *, int32_t, int32_t, int32_t, int32_t, int32_t, const LanHostEntryObject *,
                  const FingerprintData *, const char *, const char *) { return -1; }
void clear_all_timers() {}
int getLanHostEntryObject(LanHostEntryObject *) { return -1; }
