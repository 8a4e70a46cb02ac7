// The main thread's event loop: waits on the message service, the timer
// socket pair and the local pipe and serves one ready descriptor per
// wake-up, in that order of precedence.
#include "diag/counters.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <cerrno>
#include <malloc.h>
#include <poll.h>

namespace
{

enum WatchSlot { SLOT_CSMSG, SLOT_TIMER, SLOT_LOCAL, SLOT_COUNT };

// The descriptors watched in the current mode; -1 entries are ignored by poll.
void build_watch_set(pollfd (&set)[SLOT_COUNT])
{
    set[SLOT_CSMSG] = {_g_isRoot ? csmsg_fd : -1, POLLIN, 0};
    set[SLOT_TIMER] = {_g_isRoot ? signal_pipe[0] : -1, POLLIN, 0};
    set[SLOT_LOCAL] = {local_pipe[0], POLLIN, 0};
}

bool is_ready(const pollfd &entry)
{
    return entry.fd >= 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// After a run of events, once nothing more is waiting, the heap's free
// pages go back to the system, so that a burst of signals leaves no resident
// peak behind. While events keep coming this costs one poll without waiting
// per event.
void settle_heap(unsigned *served)
{
    if (++*served < 256)
        return;
    pollfd set[SLOT_COUNT];
    build_watch_set(set);
    if (poll(set, SLOT_COUNT, 0) == 0) {
        malloc_trim(0);
        *served = 0;
    }
}

} // namespace

int zelmo_serve_main_fds_once()
{
    pollfd set[SLOT_COUNT];
    build_watch_set(set);
    // No time limit. A timer signal interrupts the wait (EINTR); the caller
    // simply waits again and the expiry arrives through the socket pair.
    int ret = poll(set, SLOT_COUNT, -1);
    if (ret < 0) {
        ZLOG(ZLOG_ERR, "Unknown msg retval = %d", ret);
        return -1;
    }
    if (is_ready(set[SLOT_CSMSG])) {
        zelmo_process_cs_message();
        return set[SLOT_CSMSG].fd;
    }
    if (is_ready(set[SLOT_TIMER])) {
        zelmo_process_signal_msg();
        return set[SLOT_TIMER].fd;
    }
    if (is_ready(set[SLOT_LOCAL])) {
        zelmo_process_localunix_msg(set[SLOT_LOCAL].fd);
        return set[SLOT_LOCAL].fd;
    }
    ZLOG(ZLOG_ERR, "Unknown fd set retval = %d", ret);
    return -1;
}

void zelmo_handle_main_fds()
{
    ZLOG(ZLOG_INFO, "zelmo main thread created..!");
    pollfd set[SLOT_COUNT];
    build_watch_set(set);
    int max_fd = -1;
    for (const pollfd &entry : set)
        max_fd = entry.fd > max_fd ? entry.fd : max_fd;
    ZLOG(ZLOG_INFO, "In main thread (max_fd = %d, csmsg = %d, timer = %d, local = %d)...", max_fd, csmsg_fd,
         signal_pipe[0], local_pipe[0]);
    status_publish();
    unsigned served = 0;
    for (;;) {
        ZLOG(ZLOG_INFO, "======== Waiting for msg in main thread ===========\n");
        zelmo_serve_main_fds_once();
        status_publish();
        settle_heap(&served);
    }
}
