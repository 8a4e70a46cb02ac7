// The bus thread: runs the bus service (name, subscriptions, main loop) so
// that the main thread only ever sees bus signals as local messages.
#include "bus/bus.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <csignal>

namespace
{

bool g_dbus_thread_started = false;

void *zelmo_dbus_thread_main(void *)
{
    start_zelmo_service();
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
