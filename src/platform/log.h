// Gateway log library.
#pragma once

void cslibLog_init(int appId);
void cslibLog_setDestination(int destination); // 1 standard error, 2 syslog
void cslibLog_setLevel(int level);             // lines with level <= level are written
void log_log(int level, const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Logging from a signal handler: no stdio, no syslog(3), no allocation, no
// lock. log_prepare_signal_safe() opens the descriptor the system-log
// destination needs (a datagram socket to /dev/log); call it once at
// start-up, before any handler can run. log_signal_safe() then writes one
// line, with the same level rule, destination and layout as log_log, the
// text taken verbatim (at most about 400 bytes).
void log_prepare_signal_safe();
void log_signal_safe(int level, const char *function, int line, const char *text);

// Log levels used by the daemon.
constexpr int ZLOG_ERR = 3;
constexpr int ZLOG_INFO = 6;
constexpr int ZLOG_DEBUG = 7;

#define ZLOG(level, ...) log_log((level), __func__, __LINE__, __VA_ARGS__)
