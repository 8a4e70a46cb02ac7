// Placeholders for operations not built yet; each moves out as it is implemented.
#include "frame/frame.h"
#include "platform/log.h"
int zelmo_send_to_localfd(uint32_t, const void *, uint32_t) { ZLOG(ZLOG_ERR, "not built yet\n"); return -1; }
