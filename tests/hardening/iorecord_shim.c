/* File operation recorder and cutter for the database save tests, loaded
 * with LD_PRELOAD (the tests compile it at run time). Only files below the
 * directory ZELMO_IO_DIR are looked at.
 *
 * With ZELMO_IO_LOG set, every open, write, truncation, flush to the disk,
 * rename and removal there is appended to that file as one line:
 *   C ino name            opened
 *   N ino name            created (O_EXCL)
 *   W ino offset hexdata  written
 *   T ino length          truncated
 *   S ino                 fsync or fdatasync of the file
 *   D                     fsync of the directory itself
 *   R old new             renamed
 *   U name                removed
 * With ZELMO_IO_CUT=N:B, the Nth change (write, truncation, rename or
 * removal) is cut short: a write puts only its first B bytes, anything else
 * is not done, and the process ends at once with _exit(0). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

static char dir[4096];
static size_t dir_len;
static int log_fd = -1;
static long cut_at = -1, cut_bytes = 0, changes = 0;

__attribute__((constructor)) static void setup(void)
{
    const char *d = getenv("ZELMO_IO_DIR"), *l = getenv("ZELMO_IO_LOG"), *c = getenv("ZELMO_IO_CUT");
    if (d != NULL && strlen(d) < sizeof dir - 1) {
        strcpy(dir, d);
        dir_len = strlen(dir);
    }
    if (l != NULL)
        log_fd = (int)syscall(SYS_openat, AT_FDCWD, l, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (c != NULL && sscanf(c, "%ld:%ld", &cut_at, &cut_bytes) != 2)
        cut_at = -1;
}

static void put(const char *text, size_t size)
{
    if (log_fd >= 0)
        syscall(SYS_write, log_fd, text, size);
}

static void logf_(const char *format, ...)
{
    char line[8192];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n > 0)
        put(line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

/* The name below the directory (NULL when outside it), or "" for the
 * directory itself. */
static const char *name_in_dir(const char *path)
{
    if (dir_len == 0 || strncmp(path, dir, dir_len) != 0)
        return NULL;
    if (path[dir_len] == '\0')
        return "";
    return path[dir_len] == '/' && strchr(path + dir_len + 1, '/') == NULL ? path + dir_len + 1 : NULL;
}

static const char *fd_name(int fd, char *buf, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buf, size - 1);
    if (n <= 0)
        return NULL;
    buf[n] = '\0';
    return name_in_dir(buf);
}

static unsigned long long ino_of(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? (unsigned long long)st.st_ino : 0;
}

/* Counts a change; for the cut one, puts the first cut_bytes of data and ends. */
static void change(int fd, const struct iovec *iov, int parts, off_t offset)
{
    if (++changes != cut_at)
        return;
    long left = cut_bytes;
    for (int i = 0; i < parts && left > 0; ++i) {
        size_t n = iov[i].iov_len < (size_t)left ? iov[i].iov_len : (size_t)left;
        syscall(SYS_pwrite64, fd, iov[i].iov_base, n, offset);
        offset += (off_t)n;
        left -= (long)n;
    }
    _exit(0);
}

static void record_write(int fd, const struct iovec *iov, int parts, off_t offset)
{
    char path[4096];
    const char *name = fd_name(fd, path, sizeof path);
    if (name == NULL || name[0] == '\0')
        return;
    change(fd, iov, parts, offset);
    if (log_fd < 0)
        return;
    logf_("W %llu %lld ", ino_of(fd), (long long)offset);
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < parts; ++i) {
        const unsigned char *p = iov[i].iov_base;
        char chunk[1024];
        size_t fill = 0;
        for (size_t k = 0; k < iov[i].iov_len; ++k) {
            chunk[fill++] = hex[p[k] >> 4];
            chunk[fill++] = hex[p[k] & 15];
            if (fill == sizeof chunk) {
                put(chunk, fill);
                fill = 0;
            }
        }
        put(chunk, fill);
    }
    put("\n", 1);
}

#define NEXT(type, name, args)                                                                               \
    static type(*next) args;                                                                                 \
    if (next == NULL)                                                                                        \
        next = (type(*) args)dlsym(RTLD_NEXT, name);

static int after_open(int fd, int flags)
{
    char buf[4096];
    const char *name = fd >= 0 ? fd_name(fd, buf, sizeof buf) : NULL;
    if (name != NULL && name[0] != '\0')
        logf_("%c %llu %s\n", (flags & O_EXCL) ? 'N' : 'C', ino_of(fd), name);
    return fd;
}

int open(const char *path, int flags, ...)
{
    NEXT(int, "open", (const char *, int, ...));
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return after_open(next(path, flags, mode), flags);
}

int open64(const char *path, int flags, ...)
{
    NEXT(int, "open64", (const char *, int, ...));
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return after_open(next(path, flags, mode), flags);
}

ssize_t write(int fd, const void *buf, size_t size)
{
    NEXT(ssize_t, "write", (int, const void *, size_t));
    struct iovec iov = {(void *)buf, size};
    record_write(fd, &iov, 1, lseek(fd, 0, SEEK_CUR));
    return next(fd, buf, size);
}

ssize_t pwrite(int fd, const void *buf, size_t size, off_t offset)
{
    NEXT(ssize_t, "pwrite", (int, const void *, size_t, off_t));
    struct iovec iov = {(void *)buf, size};
    record_write(fd, &iov, 1, offset);
    return next(fd, buf, size, offset);
}

ssize_t pwrite64(int fd, const void *buf, size_t size, off_t offset)
{
    NEXT(ssize_t, "pwrite64", (int, const void *, size_t, off_t));
    struct iovec iov = {(void *)buf, size};
    record_write(fd, &iov, 1, offset);
    return next(fd, buf, size, offset);
}

ssize_t pwritev(int fd, const struct iovec *iov, int parts, off_t offset)
{
    NEXT(ssize_t, "pwritev", (int, const struct iovec *, int, off_t));
    record_write(fd, iov, parts, offset);
    return next(fd, iov, parts, offset);
}

ssize_t pwritev64(int fd, const struct iovec *iov, int parts, off_t offset)
{
    NEXT(ssize_t, "pwritev64", (int, const struct iovec *, int, off_t));
    record_write(fd, iov, parts, offset);
    return next(fd, iov, parts, offset);
}

ssize_t writev(int fd, const struct iovec *iov, int parts)
{
    NEXT(ssize_t, "writev", (int, const struct iovec *, int));
    record_write(fd, iov, parts, lseek(fd, 0, SEEK_CUR));
    return next(fd, iov, parts);
}

static void record_truncate(int fd, off_t length)
{
    char path[4096];
    const char *name = fd_name(fd, path, sizeof path);
    if (name == NULL || name[0] == '\0')
        return;
    change(fd, NULL, 0, 0);
    logf_("T %llu %lld\n", ino_of(fd), (long long)length);
}

int ftruncate(int fd, off_t length)
{
    NEXT(int, "ftruncate", (int, off_t));
    record_truncate(fd, length);
    return next(fd, length);
}

int ftruncate64(int fd, off_t length)
{
    NEXT(int, "ftruncate64", (int, off_t));
    record_truncate(fd, length);
    return next(fd, length);
}

static void record_sync(int fd)
{
    char path[4096];
    const char *name = fd_name(fd, path, sizeof path);
    if (name == NULL)
        return;
    if (name[0] == '\0')
        logf_("D\n");
    else
        logf_("S %llu\n", ino_of(fd));
}

int fsync(int fd)
{
    NEXT(int, "fsync", (int));
    int r = next(fd);
    if (r == 0)
        record_sync(fd);
    return r;
}

int fdatasync(int fd)
{
    NEXT(int, "fdatasync", (int));
    int r = next(fd);
    if (r == 0)
        record_sync(fd);
    return r;
}

int rename(const char *from, const char *to)
{
    NEXT(int, "rename", (const char *, const char *));
    const char *a = name_in_dir(from), *b = name_in_dir(to);
    if (a != NULL && b != NULL)
        change(-1, NULL, 0, 0);
    int r = next(from, to);
    if (r == 0 && a != NULL && b != NULL)
        logf_("R %s %s\n", a, b);
    return r;
}

int unlink(const char *path)
{
    NEXT(int, "unlink", (const char *));
    const char *name = name_in_dir(path);
    if (name != NULL && name[0] != '\0')
        change(-1, NULL, 0, 0);
    int r = next(path);
    if (r == 0 && name != NULL && name[0] != '\0')
        logf_("U %s\n", name);
    return r;
}
