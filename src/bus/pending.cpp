// Placeholders for operations not built yet; each moves out as it is implemented.
#include "bus/bus.h"
#include "platform/log.h"
int start_zelmo_service() { ZLOG(ZLOG_ERR, "not built yet\n"); return -1; }
