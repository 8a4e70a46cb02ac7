// Cloud health check: a thread of its own that asks the LAN host daemon for
// all its devices once after start, and probes the cloud every 30 seconds
// while uploads are failing, on a kept handle of its own
// (_g_healthcheck_handle). It never touches the device table. The thread
// is never stopped or joined: it ends with the process, which always dies by
// a signal.
#include "cloud/cloud.h"
#include "cloud/transport.h"
#include "platform/lanhost.h"
#include "platform/log.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>

pthread_t _g_healthcheck_thread;

namespace
{

constexpr unsigned kStartDelaySeconds = 5;
constexpr unsigned kPassSeconds = 30;

// Sleeps the whole time, even when a signal handler interrupts the wait.
void sleep_seconds(unsigned seconds)
{
    struct timespec left {
        time_t(seconds), 0
    };
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

// The timer signal belongs to the main thread.
void block_timer_signal(sigset_t *previous)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, previous);
}

} // namespace

int zelmo_check_cloud_health()
{
    ZLOG(ZLOG_INFO, "check cloud health\n");
    CloudProfile profile;
    cloud_profile_refresh(&profile);
    if (!cloud_url_usable(profile))
        return 0;
    CloudRequest request;
    if (!request.open(_g_healthcheck_handle))
        return 0;
    if (!request.add_part(CLOUD_FORM_HEALTHCHECK, "multipart/form-data", "")) {
        ZLOG(ZLOG_ERR, "could not build the form of %s\n", CLOUD_FORM_HEALTHCHECK);
        return 0;
    }
    return cloud_perform(request, CLOUD_FORM_HEALTHCHECK, profile) ? 1 : 0;
}

void *zelmo_healthcheck_main(void *)
{
    block_timer_signal(nullptr);
    sleep_seconds(kStartDelaySeconds);
    ZLOG(ZLOG_INFO, "Cloud Health check thread created. Send syncall request to lanhostd\n");
    lh_UpdateZelmoDevice();
    for (;;) {
        if (_g_cloud_reachable.load() == 0 && zelmo_check_cloud_health() == 1) {
            _g_cloud_reachable.store(1);
            ZLOG(ZLOG_INFO, "cloud is reachable now. set _g_cloud_reachable to 1\n");
        }
        sleep_seconds(kPassSeconds);
    }
    return nullptr;
}

void zelmo_do_healthcheck()
{
    // Create the thread with SIGUSR1 already blocked, so no timer signal can
    // reach it before its own mask is set.
    sigset_t previous;
    block_timer_signal(&previous);
    if (pthread_create(&_g_healthcheck_thread, nullptr, zelmo_healthcheck_main, nullptr) != 0)
        ZLOG(ZLOG_INFO, "zelmo_do_healthcheck() - thread creation failed\n");
    else
        pthread_setname_np(_g_healthcheck_thread, "healthcheck");
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void healthckeck_thread_join()
{
    pthread_join(_g_healthcheck_thread, nullptr);
}
