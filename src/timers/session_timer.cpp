// The cloud session's one-shot timer, and the cloud requests that a session
// start or a port statistics signal asks for.
#include "platform/log.h"
#include "timers/timers.h"

int32_t zelmo_start_cloud_session_timer()
{
    if (zelmo_installTimerHandler() != 0)
        return -1;
    uint32_t id = 0;
    if (zelmo_createTimer(&id) != 0)
        return -1;
    _g_session_timer = id;
    if (zelmo_armTimer(id, _g_session_timeout) != 0)
        ZLOG(ZLOG_ERR, "timer_settime failed.\n");
    return 0;
}

// The cloud sends no analytical data to the gateway yet: nothing to fetch.
int fetchAnalyticalDataFromCloud()
{
    return 0;
}

// The LAN port rates are not reported to the cloud yet: nothing to send.
void sendLanPhyRateToCloud()
{
}
