// Log library: one line per call, written with a single write so lines from
// several threads never interleave.
#include "platform/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace {
std::atomic<int> g_destination{2};
std::atomic<int> g_level{6};
std::atomic<bool> g_syslog_open{false};
constexpr char kIdent[] = "zelmo";
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

void cslibLog_setLevel(int level) { g_level.store(level); }

void log_log(int level, const char *function, int line, const char *format, ...)
{
    if (level > g_level.load())
        return;
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
        syslog(LOG_DAEMON | (level < 0 ? 0 : level > 7 ? 7 : level), "<%d> %s:%d: %.*s", level,
               function ? function : "", line, int(len), text);
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
