// The bus thread: runs the bus service (name, subscriptions, main loop) so
// that the main thread only ever sees bus signals as local messages.
#include "bus/bus.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <csignal>
#include <unistd.h>

namespace
{

bool g_dbus_thread_started = false;

// Pauses between starts of the bus service: doubled after each start that
// failed, back to the shortest after a service that ran until its bus went.
constexpr unsigned kBusRetryFirstSeconds = 1;
constexpr unsigned kBusRetryLastSeconds = 32;

// The service ends when the bus cannot be reached or goes away (the bus
// daemon restarted); it is started again after a pause, so the siblings'
// signals reach the daemon again once the bus is back.
void *zelmo_dbus_thread_main(void *)
{
    unsigned pause = kBusRetryFirstSeconds;
    for (;;) {
        if (start_zelmo_service() == 0)
            pause = kBusRetryFirstSeconds;
        sleep(pause);
        if (pause < kBusRetryLastSeconds)
            pause *= 2;
    }
    return nullptr;
}

} // namespace

int zelmo_dbus_msg_thread_init(void *)
{
    ZLOG(ZLOG_INFO, "Entered into zelmo_dbus_msg_thread_init()");
    // Timer signals (SIGUSR1) belong to the main thread, whose wait they
    // interrupt. The new thread inherits the creator's signal mask, so it is
    // created with SIGUSR1 blocked and never runs the timer handler.
    sigset_t timer_signal, previous;
    sigemptyset(&timer_signal);
    sigaddset(&timer_signal, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &timer_signal, &previous);
    int ret = pthread_create(&_g_dbus_thread, nullptr, zelmo_dbus_thread_main, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (ret != 0) {
        ZLOG(ZLOG_ERR, "[ZELMO] Thread creation failed\n");
        return -1;
    }
    g_dbus_thread_started = true;
    ZLOG(ZLOG_INFO, "[ZELMO] Thread creation successful : thread id = %lu\n", (unsigned long)_g_dbus_thread);
    return 0;
}

void zelmo_dbus_thread_join()
{
    if (g_dbus_thread_started) {
        pthread_join(_g_dbus_thread, nullptr);
        g_dbus_thread_started = false;
    }
}
