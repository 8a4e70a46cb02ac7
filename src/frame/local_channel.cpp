// The local message channel: the pipe through which the bus thread hands
// its signals to the main thread, and the timer socket pair.
//
// The write end of the pipe is non-blocking: the bus thread must never wait
// for the main thread. The pipe is enlarged to 1 MiB (65536 messages), so an
// ordinary burst of signals while the main thread is busy with an upload
// fits; should it fill up all the same, the write fails at once, the signal
// is logged as lost and its payload freed, and the bus thread carries on.
#include "frame/frame.h"
#include "platform/log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int LOCAL_PIPE_SIZE = 1 << 20;
constexpr int TIMER_PAIR_BUFFER = 1 << 20;

static_assert(sizeof(LocalMessage) <= PIPE_BUF, "a LocalMessage must be written atomically");

} // namespace

int zelmo_create_local_unix_socket()
{
    // Close-on-exec: the commands the daemon runs must not hold the channel.
    if (pipe2(local_pipe, O_CLOEXEC) != 0) {
        ZLOG(ZLOG_ERR, "failed to create pipes fds in zelmo\n");
        return -1;
    }
    // Best effort: an unprivileged process may not get the full size.
    fcntl(local_pipe[1], F_SETPIPE_SZ, LOCAL_PIPE_SIZE);
    fcntl(local_pipe[1], F_SETFL, fcntl(local_pipe[1], F_GETFL) | O_NONBLOCK);

    if (_g_isRoot) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) != 0) {
            ZLOG(ZLOG_ERR, "[ZELMO]socketpair() failed..\n");
            return -1;
        }
        // The timer handler never waits either. With the default buffer
        // only about 280 handles fit, barely more than one per device; a
        // larger one keeps a whole table's expiries during a long upload.
        int size = TIMER_PAIR_BUFFER;
        if (setsockopt(signal_pipe[1], SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
            setsockopt(signal_pipe[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    return 0;
}

int zelmo_send_to_localfd(uint32_t type, const void *payload, uint32_t length)
{
    size_t size = size_t(length) + 1;
    auto *block = static_cast<uint8_t *>(malloc(size));
    if (block == nullptr) {
        ZLOG(ZLOG_ERR, "[zelmo] Mem creation failed");
        return -1;
    }
    memset(block, 0, size);
    if (payload != nullptr)
        memcpy(block, payload, length);

    if (local_pipe[1] == -1) {
        free(block); // no channel yet: nobody would ever free it
        return 0;
    }
    LocalMessage message{type, length, block};
    ssize_t written;
    do {
        written = write(local_pipe[1], &message, sizeof message);
    } while (written < 0 && errno == EINTR);
    if (written != ssize_t(sizeof message)) {
        ZLOG(ZLOG_ERR, "[zelmo] Sending Msg to ZELMO local unix fd failed..!");
        free(block);
    }
    return 0;
}
