// Log library: one line per call, written with a single write so lines from
// several threads never interleave.
#include "platform/log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace
{
std::atomic<int> g_destination{2};
std::atomic<int> g_level{6};
std::atomic<bool> g_syslog_open{false};
constexpr char kIdent[] = "zelmo";

// The signal-safe path's own datagram socket to the system log, opened by
// log_prepare_signal_safe(); the C library's syslog socket and lock are
// never touched from a signal handler.
std::atomic<int> g_signal_socket{-1};
std::atomic<bool> g_signal_connected{false};
constexpr char kLogSocket[] = "/dev/log";

// Bounded appends to a stack buffer, for the signal-safe path (no stdio).
struct LineBuffer {
    char *text;
    size_t size;
    size_t used;
};

void put_text(LineBuffer &out, const char *text, size_t length)
{
    for (size_t i = 0; i < length && out.used + 1 < out.size; ++i)
        out.text[out.used++] = text[i];
}

void put_text(LineBuffer &out, const char *text)
{
    if (text != nullptr)
        put_text(out, text, strnlen(text, out.size));
}

void put_number(LineBuffer &out, long value)
{
    char digits[24];
    size_t n = 0;
    bool negative = value < 0;
    unsigned long rest =
        negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = char('0' + rest % 10);
        rest /= 10;
    } while (rest != 0 && n < sizeof digits);
    if (negative)
        put_text(out, "-", 1);
    while (n > 0)
        put_text(out, &digits[--n], 1);
}

int syslog_priority(int level)
{
    return LOG_DAEMON | (level < 0 ? 0 : level > 7 ? 7 : level);
}

bool connect_log_socket(int fd)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, kLogSocket, sizeof kLogSocket);
    return connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}
} // namespace

void cslibLog_init(int /*appId*/)
{
    // The identity of the daemon's log lines is fixed: "zelmo".
}

void cslibLog_setDestination(int destination)
{
    if (destination == 1 || destination == 2)
        g_destination.store(destination);
}

void cslibLog_setLevel(int level)
{
    g_level.store(level);
}

void log_log(int level, const char *function, int line, const char *format, ...)
{
    if (level > g_level.load())
        return;
    // A caller may log a failure and then report errno.
    struct ErrnoKeeper {
        int saved = errno;
        ~ErrnoKeeper() { errno = saved; }
    } keep_errno;
    char text[2048];
    va_list ap;
    va_start(ap, format);
    const char *pattern = format != nullptr ? format : "";
    int n = vsnprintf(text, sizeof text, pattern, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = strnlen(text, sizeof text);

    if (g_destination.load() == 2) {
        if (!g_syslog_open.exchange(true))
            openlog(kIdent, LOG_PID, LOG_DAEMON);
        syslog(syslog_priority(level), "<%d> %s:%d: %.*s", level, function ? function : "", line, int(len),
               text);
        return;
    }
    char out[2300];
    int m = snprintf(out, sizeof out, "%s: <%d> %s:%d: %.*s", kIdent, level, function ? function : "", line,
                     int(len), text);
    if (m < 0)
        return;
    size_t outlen = strnlen(out, sizeof out - 1);
    if (outlen == 0 || out[outlen - 1] != '\n')
        out[outlen++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, out, outlen);
    (void)ignored;
}

void log_prepare_signal_safe()
{
    if (g_signal_socket.load() >= 0)
        return;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    // No log socket yet (the system logger not started) is not an error:
    // the handler tries once more.
    g_signal_connected.store(connect_log_socket(fd));
    g_signal_socket.store(fd);
}

void log_signal_safe(int level, const char *function, int line, const char *text)
{
    if (level > g_level.load())
        return;
    char buffer[512];
    LineBuffer out{buffer, sizeof buffer, 0};
    const bool to_syslog = g_destination.load() == 2;
    if (to_syslog) {
        // The system log's wire format: "<PRI>ident[pid]: message".
        put_text(out, "<");
        put_number(out, syslog_priority(level));
        put_text(out, ">");
        put_text(out, kIdent);
        put_text(out, "[");
        put_number(out, long(getpid()));
        put_text(out, "]: ");
    } else {
        put_text(out, kIdent);
        put_text(out, ": ");
    }
    put_text(out, "<");
    put_number(out, level);
    put_text(out, "> ");
    put_text(out, function);
    put_text(out, ":");
    put_number(out, line);
    put_text(out, ": ");
    put_text(out, text);
    if (!to_syslog) {
        if (out.used == 0 || buffer[out.used - 1] != '\n')
            buffer[out.used < sizeof buffer ? out.used++ : out.used - 1] = '\n';
        ssize_t ignored = write(STDERR_FILENO, buffer, out.used);
        (void)ignored;
        return;
    }
    int fd = g_signal_socket.load();
    if (fd < 0)
        return;
    if (!g_signal_connected.load())
        g_signal_connected.store(connect_log_socket(fd));
    ssize_t ignored = send(fd, buffer, out.used, MSG_NOSIGNAL);
    (void)ignored;
}
