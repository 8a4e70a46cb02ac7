/* Durable writes of the database, seen from outside: loaded into the daemon
 * with LD_PRELOAD (the tests compile it at run time), it appends one line to
 * the file ZELMO_SYNC_LOG for every fsync or fdatasync of a file whose name
 * is the database's (ZELMO_SYNC_DB, a base name) or starts with that name and
 * ".tmp" (a temporary file renamed over it). Other files (the journal, the
 * directory) are not counted: one line is one save of the table. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int (*next_fsync)(int);
static int (*next_fdatasync)(int);

static void note(int fd)
{
    const char *log = getenv("ZELMO_SYNC_LOG");
    const char *db = getenv("ZELMO_SYNC_DB");
    if (log == NULL || db == NULL)
        return;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return;
    path[n] = '\0';
    const char *base = strrchr(path, '/');
    base = base != NULL ? base + 1 : path;
    size_t len = strlen(db);
    if (strncmp(base, db, len) != 0 || (base[len] != '\0' && strncmp(base + len, ".tmp", 4) != 0))
        return;
    int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    char line[4200];
    int size = snprintf(line, sizeof line, "%s\n", base);
    if (write(out, line, (size_t)size) < 0) {
    }
    close(out);
}

int fsync(int fd)
{
    if (next_fsync == NULL)
        next_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    int result = next_fsync(fd);
    if (result == 0)
        note(fd);
    return result;
}

int fdatasync(int fd)
{
    if (next_fdatasync == NULL)
        next_fdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    int result = next_fdatasync(fd);
    if (result == 0)
        note(fd);
    return result;
}
