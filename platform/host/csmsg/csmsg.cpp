// Message service: one Unix datagram socket per application at
// $ZELMO_ROOT/var/run/csmsg/<appId>.sock, one datagram per message. The
// socket has mode 0600: only its owner's user may send to it.
#include "platform/csmsg.h"
#include "platform/log.h"
#include "platform/root.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

struct CsMsgContext {
    int fd = -1;
    uint32_t appId = 0;
    std::string path;
    std::vector<uint8_t> buffer; // CSMSG_MAX_DATAGRAM + 1: one more shows an oversized datagram
};

namespace
{

// The mode of every application's socket: its own user (root on the
// gateway) alone may write to it.
constexpr mode_t kSocketMode = 0600;

std::string socket_dir()
{
    return root_path("/var/run/csmsg");
}

std::string socket_path(uint32_t appId)
{
    return socket_dir() + "/" + std::to_string(appId) + ".sock";
}

bool make_address(const std::string &path, sockaddr_un *addr)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path)
        return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Waits until fd is readable; 1 readable, 0 time-out, -1 error.
int wait_readable(int fd, int timeoutMs)
{
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? int(left.count()) : 0;
        }
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, wait);
        if (rc > 0)
            return 1;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

} // namespace

int csMsg_init(uint32_t appId, CsMsgHandle *handle)
{
    if (handle == nullptr)
        return -1;
    std::string dir = socket_dir();
    if (make_dirs(dir) != 0) {
        ZLOG(ZLOG_ERR, "csMsg: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return -1;
    }
    std::string path = socket_path(appId);
    sockaddr_un addr;
    if (!make_address(path, &addr)) {
        ZLOG(ZLOG_ERR, "csMsg: socket path too long: %s\n", path.c_str());
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ZLOG(ZLOG_ERR, "csMsg: socket: %s\n", strerror(errno));
        return -1;
    }
    // A socket file left by an earlier run of the application is stale.
    struct stat st {
    };
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path.c_str());
    // Only the socket's owner may send to it: the file is created 0600 (the
    // mask is narrowed for the bind alone, so the socket is never writable by
    // others, not even for a moment) and set so again whatever the mask was.
    mode_t mask = umask(0177);
    int bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int bind_errno = errno;
    umask(mask);
    if (bound != 0 || chmod(path.c_str(), kSocketMode) != 0) {
        ZLOG(ZLOG_ERR, "csMsg: cannot bind %s with mode %o: %s\n", path.c_str(), unsigned(kSocketMode),
             strerror(bound != 0 ? bind_errno : errno));
        if (bound == 0)
            unlink(path.c_str());
        close(fd);
        return -1;
    }
    auto *ctx = new CsMsgContext;
    ctx->fd = fd;
    ctx->appId = appId;
    ctx->path = path;
    ctx->buffer.resize(CSMSG_MAX_DATAGRAM + 1);
    *handle = ctx;
    return 0;
}

int csMsg_getEventHandle(CsMsgHandle handle, int *fd)
{
    if (handle == nullptr || fd == nullptr)
        return -1;
    *fd = handle->fd;
    return 0;
}

int csMsg_receiveWithTimeout(CsMsgHandle handle, void **message, int timeoutMs)
{
    if (message == nullptr)
        return -1;
    *message = nullptr;
    if (handle == nullptr || handle->fd < 0)
        return -1;
    int ready = wait_readable(handle->fd, timeoutMs);
    if (ready <= 0)
        return ready == 0 ? 1 : -1;

    iovec iov{handle->buffer.data(), handle->buffer.size()};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n;
    do {
        n = recvmsg(handle->fd, &mh, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            ZLOG(ZLOG_ERR, "csMsg: receive failed: %s\n", strerror(errno));
        return -1;
    }
    size_t received = size_t(n);
    if ((mh.msg_flags & MSG_TRUNC) || received > CSMSG_MAX_DATAGRAM) {
        ZLOG(ZLOG_ERR, "csMsg: datagram larger than %zu bytes dropped\n", CSMSG_MAX_DATAGRAM);
        return -1;
    }

    // The payload length as the zero-extended header shows it to the
    // receiver: a datagram that ends inside the length field counts its
    // missing bytes as zero, so the block always covers the length it holds.
    uint8_t header[sizeof(CsMsgHeader)] = {};
    memcpy(header, handle->buffer.data(), received < sizeof header ? received : sizeof header);
    uint32_t payload = load_le32(header + offsetof(CsMsgHeader, payloadLength));
    if (payload > CSMSG_MAX_PAYLOAD) {
        ZLOG(ZLOG_ERR, "csMsg: payload length %u above %u, message dropped\n", payload, CSMSG_MAX_PAYLOAD);
        return -1;
    }
    size_t size = sizeof(CsMsgHeader) + payload;
    if (size < received)
        size = received;
    auto *block = static_cast<uint8_t *>(calloc(1, size));
    if (block == nullptr) {
        ZLOG(ZLOG_ERR, "csMsg: no memory for a %zu-byte message\n", size);
        return -1;
    }
    memcpy(block, handle->buffer.data(), received);
    *message = block;
    return 0;
}

int csMsg_send(CsMsgHandle handle, uint32_t dstAppId, const void *message, size_t size)
{
    if (message == nullptr && size != 0)
        return -1;
    sockaddr_un addr;
    std::string path = socket_path(dstAppId);
    if (!make_address(path, &addr))
        return -1;
    int fd = handle ? handle->fd : socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    ssize_t n;
    do {
        n = sendto(fd, message, size, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    if (handle == nullptr)
        close(fd);
    if (n < 0 || size_t(n) != size) {
        ZLOG(ZLOG_ERR, "csMsg: send to %s failed: %s\n", path.c_str(), n < 0 ? strerror(err) : "short send");
        return -1;
    }
    return 0;
}

void csMsg_close(CsMsgHandle handle)
{
    if (handle == nullptr)
        return;
    if (handle->fd >= 0)
        close(handle->fd);
    unlink(handle->path.c_str());
    delete handle;
}
