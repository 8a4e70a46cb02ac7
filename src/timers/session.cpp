// Cloud session control: the session commands of the configuration manager
// and the mesh controller, and the cloud-related signals of the main thread.
#include "cloud/cloud.h"
#include "common/bytes.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "timers/timers.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace
{

constexpr int32_t SESSION_DEFAULT_SECONDS = 1800;
constexpr uint32_t TR69_KIND_ANALYTICS = 1;

// Session commands are short texts; a longer one is cut.
constexpr size_t SESSION_COMMAND_MAX = 1024;

// Length of a "Session_START ... timeout=N" command: the number after the
// first "=" from the word on, 0 without one; 1800 without the word.
int32_t session_length(const char *command)
{
    const char *word = strstr(command, "timeout");
    if (word == nullptr)
        return SESSION_DEFAULT_SECONDS;
    const char *equals = strchr(word, '=');
    if (equals == nullptr)
        return 0;
    const long seconds = strtol(equals + 1, nullptr, 10);
    return int32_t(std::clamp<long>(seconds, INT32_MIN, INT32_MAX));
}

// Keeps the timer signal off the calling thread while a command changes the
// session state. The other threads of the daemon block SIGUSR1 for good, so a
// session expiry cannot run between the steps of a command: it is delivered
// when the block ends, and then finds the session the command left.
class TimerSignalBlock
{
  public:
    TimerSignalBlock()
    {
        sigset_t timer_signal;
        sigemptyset(&timer_signal);
        sigaddset(&timer_signal, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &timer_signal, &previous_);
    }
    ~TimerSignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    TimerSignalBlock(const TimerSignalBlock &) = delete;
    TimerSignalBlock &operator=(const TimerSignalBlock &) = delete;

  private:
    sigset_t previous_;
};

// Closes an open session and opens the next one with the command's length.
void open_session(const char *command)
{
    TimerSignalBlock block;
    if (_g_session_timeout != 0)
        zelmo_stop_cloud_session_timer();
    _g_session_timeout = session_length(command);
    ZLOG(ZLOG_INFO, "cloud session start received cmd[%s] with timeout %d", command, int(_g_session_timeout));
    if (_g_session_timeout != 0)
        zelmo_start_cloud_session_timer();
}

void close_session()
{
    TimerSignalBlock block;
    if (_g_session_timeout != 0)
        zelmo_stop_cloud_session_timer();
}

void root_session_command(const char *command)
{
    const bool start = strstr(command, "Session_START") != nullptr;
    const bool stop = strstr(command, "Session_STOP") != nullptr;
    const bool mobile = strstr(command, "Mobile") != nullptr;
    if (start && mobile)
        return;
    if (start) {
        open_session(command);
        _g_cloud_reachable = 1;
        sync_all_devices(0);
        sendLanPhyRateToCloud();
        return;
    }
    if (stop && mobile)
        return;
    if (stop) {
        close_session();
        return;
    }
    if (strstr(command, "Device_FPChange") != nullptr) {
        ZLOG(ZLOG_INFO, "command : %s\n", command);
        fetchAnalyticalDataFromCloud();
    }
}

void extender_session_command(const char *command)
{
    if (strstr(command, "Session_START") == nullptr || strstr(command, "Mobile") != nullptr)
        return;
    _g_cloud_reachable = 1;
    sendLanPhyRateToCloud();
}

} // namespace

void zelmo_handleSessionStart(const char *command)
{
    if (text_empty(command))
        return;
    if (_g_isRoot != 0)
        root_session_command(command);
    else
        extender_session_command(command);
}

int zelmo_processNotifySessionStart(const uint8_t *payload, uint32_t length)
{
    ZLOG(ZLOG_INFO, "zelmo_handleNotifySessionStart received\n");
    if (payload == nullptr) {
        ZLOG(ZLOG_INFO, "zelmo_handleNotifySessionStart cmd Received null\n");
        return -1;
    }
    char command[SESSION_COMMAND_MAX];
    str_copy_n(command, sizeof command, reinterpret_cast<const char *>(payload), length);
    ZLOG(ZLOG_INFO, "ANALYTICS_COMMAND cmd:%s\n", command);
    zelmo_handleSessionStart(command);
    return 0;
}

int zelmo_processTR069Command(const uint8_t *payload, uint32_t length)
{
    ZLOG(ZLOG_INFO, "zelmo_handleTR069Command Received\n");
    if (payload == nullptr) {
        ZLOG(ZLOG_INFO, "zelmo_handleTR069Command Received is null\n");
        return -1;
    }
    // Command kind at 0 (missing bytes read as zero), the text from 4 to the end.
    uint8_t kind[4] = {0, 0, 0, 0};
    memcpy(kind, payload, std::min<size_t>(sizeof kind, length));
    char command[SESSION_COMMAND_MAX];
    if (length > sizeof kind)
        str_copy_n(command, sizeof command, reinterpret_cast<const char *>(payload) + sizeof kind,
                   length - sizeof kind);
    else
        command[0] = '\0';
    if (load_le32(kind) != TR69_KIND_ANALYTICS || command[0] == '\0')
        return 0;
    ZLOG(ZLOG_INFO, "ANALYTICS_COMMAND cmd:%s\n", command);
    zelmo_handleSessionStart(command);
    return 0;
}

int zelmo_processWANStatusChange(const uint8_t *, uint32_t)
{
    ZLOG(ZLOG_INFO, "========= RECEIVED WAN STATUS CHANGE SIGNAL ===================\n");
    // Catch-up upload of whatever is not reported yet, session or not.
    if (_g_isRoot != 0)
        sync_all_devices(1);
    return 0;
}

int zelmo_processStatsEthPortUpdate(const uint8_t *, uint32_t)
{
    ZLOG(ZLOG_INFO, "######### zelmo_notifyStatsEthPortUpdate Received ######## \n");
    _g_cloud_reachable = 1;
    sendLanPhyRateToCloud();
    return 0;
}
