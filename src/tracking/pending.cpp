// Placeholders for operations not built yet; each moves out as it is implemented.
#include "tracking/tracking.h"
#include "platform/log.h"
void update_device_handler(DeviceUpdateMessage *) { ZLOG(ZLOG_ERR, "not built yet\n"); }
