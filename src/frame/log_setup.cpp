// Logging set-up and the log-control messages.
#include "frame/frame.h"
#include "platform/log.h"

#include "common/bytes.h"

#include <cstring>

namespace
{

// Log-control payload: the daemon's name in 64 bytes, then the u32 value.
constexpr uint32_t LOG_CONTROL_LENGTH = 68;
constexpr size_t LOG_CONTROL_VALUE = 64;

// True when a log-control payload has the exact size and names this daemon.
bool log_control_for_us(const uint8_t *payload, uint32_t length)
{
    if (payload == nullptr || length != LOG_CONTROL_LENGTH)
        return false;
    char name[LOG_CONTROL_VALUE];
    str_copy_n(name, sizeof name, reinterpret_cast<const char *>(payload), LOG_CONTROL_VALUE);
    return strcmp(name, "zelmo") == 0;
}

} // namespace

void zelmo_logInit()
{
    cslibLog_init(int(ZELMO_APP_ID));
    cslibLog_setDestination(log_opt ? 1 : 2);
    cslibLog_setLevel(log_opt ? ZLOG_DEBUG : ZLOG_INFO);
}

void zelmo_setLogLevel(int level)
{
    cslibLog_setLevel(level);
}

void zelmo_setLogDestination(int destination)
{
    cslibLog_setDestination(destination);
}

int zelmo_processSetLogLevelSignal(const uint8_t *payload, uint32_t length)
{
    if (!log_control_for_us(payload, length))
        return 0;
    // Unlike the message-service request, this does not touch log_opt.
    zelmo_setLogLevel(int(load_le32(payload + LOG_CONTROL_VALUE)));
    return 0;
}

int zelmo_processSetLogDestinationSignal(const uint8_t *payload, uint32_t length)
{
    if (!log_control_for_us(payload, length))
        return 0;
    zelmo_setLogDestination(int(load_le32(payload + LOG_CONTROL_VALUE)));
    return 0;
}
