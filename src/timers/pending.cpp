// Placeholders for operations not built yet; each moves out as it is implemented.
#include "timers/timers.h"
#include "platform/log.h"
std::atomic<int32_t> _g_session_timeout{0};
std::atomic<uint32_t> _g_session_timer{0};
int32_t zelmo_makeTimer(int, int32_t) { return -1; }
void handle_timer_msg(uint32_t) {}
int change_timer(uint32_t, int32_t) { return 0; }
void zelmo_stop_cloud_session_timer() {}
