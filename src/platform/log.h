// Gateway log library.
#pragma once

void cslibLog_init(int appId);
void cslibLog_setDestination(int destination); // 1 standard error, 2 syslog
void cslibLog_setLevel(int level);             // lines with level <= level are written
void log_log(int level, const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Log levels used by the daemon.
constexpr int ZLOG_ERR = 3;
constexpr int ZLOG_INFO = 6;
constexpr int ZLOG_DEBUG = 7;

#define ZLOG(level, ...) log_log((level), __func__, __LINE__, __VA_ARGS__)
