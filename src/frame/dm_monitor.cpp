// Registration with the gateway's daemon monitor.
//
// The registration directory lies below /tmp, which anybody may write, so
// the file is never opened by a name someone else could have planted: the
// directory must be a real directory owned by root (or by the daemon's own
// user) that nobody else may write, and the file is written under a fresh
// unique name (O_EXCL | O_NOFOLLOW) in it and renamed over the old one.
#include "frame/frame.h"
#include "platform/log.h"
#include "platform/root.h"

#include "common/owned_fd.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Messages of the registration go to standard output, flushed at once.
void say(const char *text)
{
    fputs(text, stdout);
    fflush(stdout);
}

std::atomic<unsigned> g_temp_counter{0};

// The registration directory, created 0755 when absent, opened without
// following a symlink and checked; -1 (with a log line) when refused.
int open_registration_dir(const std::string &directory)
{
    bool created = mkdir(directory.c_str(), 0755) == 0;
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ZLOG(ZLOG_ERR, "registration directory %s refused: %s\n", directory.c_str(),
             errno == ELOOP || errno == ENOTDIR ? "not a directory (a symlink?)" : strerror(errno));
        return -1;
    }
    if (created)
        fchmod(fd, 0755); // the umask may have narrowed it
    struct stat st {
    };
    const char *reason = nullptr;
    if (fstat(fd, &st) != 0)
        reason = strerror(errno);
    else if (st.st_uid != 0 && st.st_uid != geteuid())
        reason = "not owned by root";
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        reason = "writable by group or others";
    if (reason != nullptr) {
        ZLOG(ZLOG_ERR, "registration directory %s refused: %s\n", directory.c_str(), reason);
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int dm_monitor_register(const char *name, int policy, const char *text, int number, const char *handler)
{
    if (name == nullptr) {
        say("name is NULL!\n");
        return -1;
    }
    if (policy != 0 && policy != 1) {
        say("policy is invalid!\n");
        return -1;
    }
    if (handler == nullptr) {
        say("handler is NULL!\n");
        return -1;
    }
    std::string directory = root_path("/tmp/daemon");
    OwnedFd dir(open_registration_dir(directory));
    if (dir.fd < 0) {
        say("fopen failed!");
        return -1;
    }
    char content[512];
    int length = snprintf(content, sizeof content, "%s\n%d\n%s\n%d\n%s\n%d\n", name, policy,
                          text ? text : "null", number, handler, int(getpid()));
    if (length < 0 || size_t(length) >= sizeof content) {
        ZLOG(ZLOG_ERR, "registration of %s not written: too long\n", name);
        return -1;
    }
    // The monitor reads the file whole: it is replaced, never appended to.
    std::string final_name = std::string(name) + ".dm";
    std::string temp_name =
        "." + final_name + "." + std::to_string(getpid()) + "." + std::to_string(g_temp_counter.fetch_add(1));
    int fd = openat(dir.fd, temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        ZLOG(ZLOG_ERR, "cannot create %s/%s: %s\n", directory.c_str(), temp_name.c_str(), strerror(errno));
        say("fopen failed!");
        return -1;
    }
    OwnedFd file(fd);
    // Readable by the monitor whatever the umask: it holds no secret.
    bool ok = fchmod(file.fd, 0644) == 0 && write(file.fd, content, size_t(length)) == length;
    // The rename replaces a symlink itself, never its target; one found there
    // was planted by somebody, so it is worth a line.
    struct stat old {
    };
    if (ok && fstatat(dir.fd, final_name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(old.st_mode))
        ZLOG(ZLOG_ERR, "registration file %s/%s is not a regular file (a symlink?); replacing it\n",
             directory.c_str(), final_name.c_str());
    if (ok && renameat(dir.fd, temp_name.c_str(), dir.fd, final_name.c_str()) == 0)
        return 0;
    ZLOG(ZLOG_ERR, "cannot write %s/%s: %s\n", directory.c_str(), final_name.c_str(), strerror(errno));
    unlinkat(dir.fd, temp_name.c_str(), 0);
    say("fopen failed!");
    return -1;
}
