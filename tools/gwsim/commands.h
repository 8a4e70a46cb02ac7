// The gwsim sub-commands. Each takes the words after its name and returns
// the process exit status: 0 done, 1 failed, 2 bad usage.
#pragma once

int cmd_root(int argc, char **argv);
int cmd_emit(int argc, char **argv);
int cmd_bus(int argc, char **argv);
int cmd_call(int argc, char **argv);
int cmd_lanhost(int argc, char **argv);
int cmd_capture(int argc, char **argv);
int cmd_cloud(int argc, char **argv);
int cmd_db(int argc, char **argv);

// "gwsim: <text>" on standard error; returns status.
int fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
// One line on standard output, flushed at once; also appended to the log
// file chosen with set_log_file().
void out_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void set_log_file(const char *path);

// Set by SIGTERM and SIGINT for the long-running services.
extern volatile int g_stop;
void install_stop_handlers();
