// Crash and termination handling: a trace line, a background archive of the
// system logs, then death by the same signal so that the supervisor sees the
// real cause.
//
// Everything the handler needs (paths, the archive's argument vector, the
// spawn attributes) is prepared when the handlers are installed, so the
// handler itself allocates nothing.
#include "frame/frame.h"
#include "platform/log.h"
#include "platform/root.h"

#include "common/bytes.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <spawn.h>
#include <unistd.h>

namespace
{

struct HandledSignal {
    int number;
    const char *line;
};

// In the order the handler is installed.
constexpr HandledSignal g_handled[] = {
    {SIGSEGV, "zelmo recived SIGSEGV\n"}, {SIGFPE, "zelmo recived SIGFPE\n"},
    {SIGABRT, "zelmo recived SIGABRT\n"}, {SIGINT, "zelmo recived SIGINT\n"},
    {SIGQUIT, "zelmo recived SIGQUIT\n"}, {SIGTERM, "zelmo recived SIGTERM\n"},
};

// The system log files archived after a crash, and the archive itself.
constexpr const char *g_archive_inputs[] = {
    "/logs/messages",     "/logs/messages.0",     "/logs/messages.1",
    "/tmp/messages_info", "/tmp/messages_info.0", "/tmp/messages_info.1",
};
constexpr const char *g_archive_output = "/logs/crash_logs.tar.gz";

char g_trace_path[PATH_MAX];
char g_archive_paths[std::size(g_archive_inputs) + 1][PATH_MAX];
char g_tar_word[] = "tar";
char g_tar_options[] = "-czf";
// "tar -czf <archive> <inputs...>" and the terminating null pointer.
char *g_tar_argv[3 + std::size(g_archive_inputs) + 1];
posix_spawnattr_t g_tar_attr;
bool g_tar_ready = false;

const char *line_of(int number)
{
    for (const HandledSignal &handled : g_handled)
        if (handled.number == number)
            return handled.line;
    return nullptr;
}

void prepare_archive_command()
{
    size_t arg = 0;
    g_tar_argv[arg++] = g_tar_word;
    g_tar_argv[arg++] = g_tar_options;
    str_copy(g_archive_paths[0], PATH_MAX, root_path(g_archive_output).c_str());
    g_tar_argv[arg++] = g_archive_paths[0];
    for (size_t i = 0; i < std::size(g_archive_inputs); ++i) {
        str_copy(g_archive_paths[i + 1], PATH_MAX, root_path(g_archive_inputs[i]).c_str());
        g_tar_argv[arg++] = g_archive_paths[i + 1];
    }
    g_tar_argv[arg] = nullptr;

    if (g_tar_ready)
        return;
    // The archiver starts with default signal handling and an empty signal
    // mask (the handler runs with the fatal signal blocked, and SIGPIPE is
    // ignored by the daemon), in a process group of its own so that a
    // terminal's interrupt for the daemon does not stop it as well.
    if (posix_spawnattr_init(&g_tar_attr) != 0)
        return;
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    for (const HandledSignal &handled : g_handled)
        sigaddset(&defaults, handled.number);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGUSR1);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&g_tar_attr, &defaults);
    posix_spawnattr_setsigmask(&g_tar_attr, &empty);
    posix_spawnattr_setpgroup(&g_tar_attr, 0);
    posix_spawnattr_setflags(&g_tar_attr,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    g_tar_ready = true;
}

} // namespace

int zelmo_initSigHdlr()
{
    str_copy(g_trace_path, sizeof g_trace_path, root_path("/logs/zelmo_btrace.log").c_str());
    prepare_archive_command();

    struct sigaction action {
    };
    action.sa_handler = zelmo_sigSegvHdlr;
    // A second fatal signal waits until this one has been handled; a fault
    // inside the handler itself then kills the process at once.
    sigemptyset(&action.sa_mask);
    for (const HandledSignal &handled : g_handled)
        sigaddset(&action.sa_mask, handled.number);
    action.sa_flags = SA_RESTART;
    for (const HandledSignal &handled : g_handled)
        sigaction(handled.number, &action, nullptr);
    return 0;
}

// Runs in signal context, on whichever thread took the signal, and follows
// the order of a crash report: log line, trace line, archive, death.
// - the log line: log_log formats into a stack buffer and writes it with a
//   single write to standard error; only with the syslog destination does it
//   go through the C library's syslog;
// - open, write, close: async-signal-safe system calls on a path prepared
//   at installation;
// - posix_spawnp: glibc starts the child with clone(CLONE_VFORK) on a
//   freshly mapped stack, runs no fork handlers, takes no lock of the parent
//   and allocates nothing (the argument vector and attributes are ready), so
//   it is safe even when the signal interrupted malloc; the parent does not
//   wait, the archive runs in the background;
// - signal and raise: async-signal-safe. The signal stays blocked until the
//   handler returns and is then delivered with the default action.
void zelmo_sigSegvHdlr(int signal_number)
{
    int fd = open(g_trace_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const char *line = line_of(signal_number);
    if (line != nullptr) {
        ZLOG(ZLOG_INFO, "%s", line);
        if (fd >= 0) {
            ssize_t ignored = write(fd, line, strlen(line));
            (void)ignored;
        }
    }
    if (g_tar_ready) {
        pid_t archiver;
        posix_spawnp(&archiver, g_tar_word, nullptr, &g_tar_attr, g_tar_argv, environ);
    }
    if (fd >= 0)
        close(fd);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}
