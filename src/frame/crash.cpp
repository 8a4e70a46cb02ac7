// Crash and termination handling: the capture chain flushed, a trace line, a
// background archive of the system logs, then death by the same signal so
// that the supervisor sees the real cause.
//
// From the moment a handled signal arrives only async-signal-safe calls are
// made: no stdio, no syslog(3), no allocation, no lock. Everything the
// handler needs (the trace descriptor, the log socket, the absolute program
// paths and argument vectors) is prepared when the handlers are installed.
#include "frame/frame.h"
#include "platform/log.h"
#include "platform/root.h"

#include "common/bytes.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
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
int g_trace_fd = -1;

char g_archive_paths[std::size(g_archive_inputs) + 1][PATH_MAX];
char g_tar_path[PATH_MAX];
char g_tar_word[] = "tar";
char g_tar_options[] = "-czf";
// "tar -czf <archive> <inputs...>" and the terminating null pointer.
char *g_tar_argv[3 + std::size(g_archive_inputs) + 1];
bool g_tar_ready = false;

// "iptables -t nat -F PREROUTING_USERAGENT": the capture chain of
// fingerprint/capture_iptables.cpp, flushed so that no device stays
// diverted while the daemon is down.
char g_iptables_path[PATH_MAX];
char g_iptables_word[] = "iptables";
char g_iptables_table_option[] = "-t";
char g_iptables_table[] = "nat";
char g_iptables_flush[] = "-F";
char g_iptables_chain[] = "PREROUTING_USERAGENT";
char *g_iptables_argv[] = {g_iptables_word,  g_iptables_table_option, g_iptables_table,
                           g_iptables_flush, g_iptables_chain,        nullptr};
bool g_iptables_ready = false;
volatile sig_atomic_t g_flush_armed = 0;

// Set by the first handler run. The handler's mask keeps the fatal signals
// off its own thread only: a burst of them (a supervisor that sends SIGTERM
// again and again) reaches the other threads, which must not flush, trace
// and archive a second time.
std::atomic<int> g_handling{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");

// How long the handler waits for the flush before it goes on.
constexpr int kFlushWaitSteps = 200;
constexpr long kFlushWaitStepNs = 5'000'000;

const char *line_of(int number)
{
    for (const HandledSignal &handled : g_handled)
        if (handled.number == number)
            return handled.line;
    return nullptr;
}

// The first executable regular file of that name in the absolute
// directories of PATH (the usual system directories when PATH is unset),
// copied to out; false when there is none.
bool resolve_in_path(const char *name, char *out, size_t size)
{
    const char *path = getenv("PATH");
    std::string dirs =
        path != nullptr ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir[0] != '/')
            continue; // relative entries depend on the working directory
        std::string candidate = dir + "/" + name;
        struct stat st {
        };
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0 && candidate.size() < size) {
            str_copy(out, size, candidate.c_str());
            return true;
        }
    }
    return false;
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
    g_tar_ready = resolve_in_path(g_tar_word, g_tar_path, sizeof g_tar_path);
}

// Starts a program from the handler; -1 when no process could be made.
// _Fork, unlike fork, runs no fork handlers and takes no C library lock
// (malloc's included), so it is safe even when the signal interrupted one.
// The child gets default signal handling and an empty signal mask (the
// handler runs with the fatal signals blocked, and SIGPIPE is ignored by
// the daemon), a process group of its own so that a terminal's interrupt
// for the daemon does not stop it as well, and umask 077 so that what it
// creates (the archive) is readable by root only.
pid_t start_from_handler(const char *path, char *const argv[])
{
    pid_t child = _Fork();
    if (child != 0)
        return child;
    struct sigaction defaults {
    };
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (const HandledSignal &handled : g_handled)
        sigaction(handled.number, &defaults, nullptr);
    for (int number : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD, SIGHUP, SIGALRM})
        sigaction(number, &defaults, nullptr);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    setpgid(0, 0);
    umask(077);
    execve(path, argv, environ);
    _exit(127);
}

// Waits a bounded time for the child; it is left running past that.
void wait_bounded(pid_t child)
{
    const timespec step{0, kFlushWaitStepNs};
    for (int i = 0; i < kFlushWaitSteps; ++i) {
        int status = 0;
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR))
            return;
        nanosleep(&step, nullptr);
    }
}

} // namespace

int zelmo_initSigHdlr()
{
    str_copy(g_trace_path, sizeof g_trace_path, root_path("/logs/zelmo_btrace.log").c_str());
    if (g_trace_fd < 0)
        g_trace_fd = open(g_trace_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    prepare_archive_command();
    g_iptables_ready = resolve_in_path(g_iptables_word, g_iptables_path, sizeof g_iptables_path);
    log_prepare_signal_safe();

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

void zelmo_armChainFlush()
{
    g_flush_armed = 1;
}

// Runs in signal context, on whichever thread took the signal:
// - the capture chain flushed (once root mode has set it up), waited for
//   up to a second;
// - the log line, through the log library's signal-safe entry (write to
//   standard error, or send on its own socket to the system log);
// - the trace line: write on the descriptor opened at installation (open
//   again here only when that failed);
// - the archive, in the background;
// - signal and raise: the signal stays blocked until the handler returns
//   and is then delivered with the default action.
// A signal taken by another thread meanwhile only waits there for the end
// that the first run brings.
void zelmo_sigSegvHdlr(int signal_number)
{
    if (g_handling.exchange(1) != 0) {
        for (;;)
            pause();
    }
    int saved_errno = errno;
    if (g_flush_armed != 0 && g_iptables_ready) {
        pid_t flusher = start_from_handler(g_iptables_path, g_iptables_argv);
        if (flusher > 0)
            wait_bounded(flusher);
    }
    const char *line = line_of(signal_number);
    int fd = g_trace_fd;
    if (fd < 0)
        fd = open(g_trace_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (line != nullptr) {
        log_signal_safe(ZLOG_INFO, __func__, __LINE__, line);
        if (fd >= 0) {
            ssize_t ignored = write(fd, line, strlen(line));
            (void)ignored;
        }
    }
    if (g_tar_ready)
        start_from_handler(g_tar_path, g_tar_argv);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    errno = saved_errno;
}
