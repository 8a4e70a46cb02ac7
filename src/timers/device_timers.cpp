// The SIGUSR1 handler shared by all timers, device timer creation, re-arming
// and the cloud session close.
//
// The handler does only async-signal-safe work: it reads the identifier that
// the timer carries in its notification value, closes an expired session
// with atomic stores, and hands the identifier to the main thread through
// signal_pipe with a non-blocking send. It never reads the device table, so
// it is safe on any thread and whatever the main thread is doing.
#include "timers/device_timers.h"
#include "timers/timers.h"

#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>

std::atomic<int32_t> _g_session_timeout{0};
std::atomic<uint32_t> _g_session_timer{0};

namespace
{

std::atomic<uint32_t> _g_expired_session{0};
std::atomic<uint32_t> _g_lost_expiries{0};

static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free,
              "the timer handler relies on lock-free atomics");

} // namespace

void timerHandler(int, siginfo_t *info, void *)
{
    if (info == nullptr || info->si_code != SI_TIMER)
        return;
    uint32_t id = uint32_t(info->si_value.sival_int);
    if (id == 0)
        return;
    int saved_errno = errno;

    uint32_t session = id;
    if (_g_session_timer.compare_exchange_strong(session, 0)) {
        // The cloud session has run out: it is closed here and now; the main
        // thread deletes the timer when the identifier reaches it.
        _g_session_timeout.store(0);
        _g_expired_session.store(id);
    }
    if (send(signal_pipe[1], &id, sizeof id, MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(sizeof id))
        _g_lost_expiries.fetch_add(1);
    errno = saved_errno;
}

uint32_t timer_take_expired_session(uint32_t id)
{
    uint32_t expected = id;
    return _g_expired_session.compare_exchange_strong(expected, 0) ? id : 0;
}

uint32_t timer_take_lost_expiries()
{
    return _g_lost_expiries.exchange(0);
}

int zelmo_installTimerHandler()
{
    struct sigaction action = {};
    action.sa_sigaction = timerHandler;
    // SA_RESTART: a read, write or wait of the interrupted thread resumes by
    // itself; select and poll still return EINTR and their callers wait again.
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGUSR1, &action, nullptr) != 0) {
        perror("sigaction");
        return -1;
    }
    return 0;
}

int32_t zelmo_makeTimer(int index, int32_t seconds)
{
    if (_g_devices == nullptr || index < 0 || index >= _g_device_count) {
        ZLOG(ZLOG_ERR, "no device at index %d for a timer\n", index);
        return -1;
    }
    if (zelmo_installTimerHandler() != 0)
        return -1;
    uint32_t id = 0;
    if (zelmo_createTimer(&id) != 0)
        return -1;
    _g_devices[index].timer.set(id);
    zelmo_armTimer(id, seconds);
    return 0;
}

int change_timer(uint32_t timerHandle, int32_t seconds)
{
    if (timerHandle == 0)
        return 0;
    if (seconds > 0)
        return zelmo_armTimer(timerHandle, seconds);
    // A period of 0 (or below) ends the timer instead of re-arming it; a
    // timer ended this way (also by the table when it drops a record) takes
    // its redirect along.
    return timer_retire(timerHandle);
}

void zelmo_stop_cloud_session_timer()
{
    ZLOG(ZLOG_INFO, "stop cloud session");
    uint32_t id = _g_session_timer.exchange(0);
    if (id != 0)
        zelmo_deleteTimer(id);
    _g_session_timeout.store(0);
}
