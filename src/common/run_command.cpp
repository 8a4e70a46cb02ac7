// posix_spawnp with an argument vector; see run_command.h.
#include "common/run_command.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

struct FdGuard {
    int fd = -1;
    FdGuard() = default;
    explicit FdGuard(int f) : fd(f) {}
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    ~FdGuard() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

struct SpawnActions {
    posix_spawn_file_actions_t fa;
    bool ok;
    SpawnActions() { ok = posix_spawn_file_actions_init(&fa) == 0; }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;
    ~SpawnActions()
    {
        if (ok)
            posix_spawn_file_actions_destroy(&fa);
    }
};

struct SpawnAttr {
    posix_spawnattr_t attr;
    bool ok;
    SpawnAttr() { ok = posix_spawnattr_init(&attr) == 0; }
    SpawnAttr(const SpawnAttr &) = delete;
    SpawnAttr &operator=(const SpawnAttr &) = delete;
    ~SpawnAttr()
    {
        if (ok)
            posix_spawnattr_destroy(&attr);
    }
};

bool redirect(posix_spawn_file_actions_t *fa, int target, ChildStream how, int pipe_write_end)
{
    switch (how) {
    case ChildStream::inherit:
        return true;
    case ChildStream::discard:
        return posix_spawn_file_actions_addopen(fa, target, "/dev/null", O_WRONLY, 0) == 0;
    case ChildStream::capture:
        return pipe_write_end >= 0 && posix_spawn_file_actions_adddup2(fa, pipe_write_end, target) == 0;
    }
    return false;
}

// Spawns the child; with a capture, *read_end receives the pipe's read end.
pid_t spawn(const char *const argv[], const RunOptions &options, FdGuard *read_end)
{
    if (argv == nullptr || argv[0] == nullptr)
        return -1;
    FdGuard pipe_read, pipe_write;
    if (options.out == ChildStream::capture) {
        int p[2];
        if (read_end == nullptr || pipe2(p, O_CLOEXEC) != 0)
            return -1;
        pipe_read.fd = p[0];
        pipe_write.fd = p[1];
    }
    SpawnActions actions;
    SpawnAttr attr;
    if (!actions.ok || !attr.ok)
        return -1;
    if (!redirect(&actions.fa, STDOUT_FILENO, options.out, pipe_write.fd))
        return -1;
    if (!redirect(&actions.fa, STDERR_FILENO,
                  options.err == ChildStream::capture ? ChildStream::inherit : options.err, -1))
        return -1;
    // Nothing of the daemon's (sockets, pipes, the database) leaks into the child.
    posix_spawn_file_actions_addclosefrom_np(&actions.fa, STDERR_FILENO + 1);

    // The child starts with no blocked signal and default dispositions, whatever
    // the spawning thread had (SIGUSR1 handled, SIGPIPE perhaps ignored).
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr.attr, &empty);
    posix_spawnattr_setsigdefault(&attr.attr, &defaults);
    posix_spawnattr_setflags(&attr.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions.fa, &attr.attr, const_cast<char *const *>(argv), environ) != 0)
        return -1;
    if (read_end != nullptr) {
        read_end->fd = pipe_read.fd;
        pipe_read.fd = -1;
    }
    return pid;
}

} // namespace

pid_t start_command(const char *const argv[], const RunOptions &options)
{
    if (options.out == ChildStream::capture)
        return -1;
    return spawn(argv, options, nullptr);
}

int run_command(const char *const argv[], const RunOptions &options)
{
    FdGuard read_end;
    pid_t pid = spawn(argv, options, &read_end);
    if (pid < 0)
        return -1;
    if (read_end.fd >= 0) {
        if (options.captured != nullptr)
            options.captured->clear();
        char buffer[4096];
        for (;;) {
            ssize_t n = read(read_end.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (options.captured != nullptr && options.captured->size() < options.capture_limit) {
                size_t room = options.capture_limit - options.captured->size();
                options.captured->append(buffer, size_t(n) < room ? size_t(n) : room);
            }
        }
        read_end.reset();
    }
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) == pid)
            break;
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}
