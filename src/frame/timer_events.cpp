// Serving the timer socket pair: each fired device timer arrives as its
// 4-byte handle, written by the timer signal handler.
#include "frame/frame.h"
#include "platform/log.h"
#include "timers/timers.h"
#include "tracking/tracking.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

void zelmo_process_signal_msg()
{
    uint32_t handle = 0;
    ssize_t n;
    do {
        n = read(signal_pipe[0], &handle, sizeof handle);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        ZLOG(ZLOG_INFO, "Could not read signal\n");
        return;
    }
    if (n == 0)
        return;
    // The handler sends each handle in one piece, so a short read only
    // means the rest of that piece is still in flight.
    if (size_t(n) < sizeof handle) {
        size_t rest = sizeof handle - size_t(n);
        if (recv(signal_pipe[0], reinterpret_cast<uint8_t *>(&handle) + n, rest, MSG_WAITALL) !=
            ssize_t(rest)) {
            ZLOG(ZLOG_INFO, "Could not read signal\n");
            return;
        }
    }
    event_begin();
    handle_timer_msg(handle);
    event_end();
}
