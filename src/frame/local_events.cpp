// Serving the local pipe: one message of the bus thread per call.
#include "frame/frame.h"
#include "platform/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

void zelmo_process_localunix_msg(int fd)
{
    LocalMessage message{};
    ssize_t n;
    do {
        n = read(fd, &message, sizeof message);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        perror("read");
        return;
    }
    // Records are written whole and never interleave, so a short read means
    // the channel is broken; the partial record can be neither used nor freed.
    if (size_t(n) != sizeof message) {
        ZLOG(ZLOG_ERR, "[zelmo] short local message read (%zd bytes)\n", n);
        return;
    }
    int result = zelmo_handle_recv_msg(&message);
    if (result != 0)
        ZLOG(ZLOG_ERR, "[zelmo] Processing received ZELMO msg failed result %u\n\r", unsigned(result));
    free(message.payload);
}
