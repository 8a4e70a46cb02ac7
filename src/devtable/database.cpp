// The database file: loaded once at start-up, rewritten whole after every
// change of the table.
//
// A save never leaves a half-written file behind: the image goes to a
// temporary file in the same directory, is flushed to the disk and then
// renamed over the old file, so a reader always opens either the whole old
// or the whole new file. Readers and the writer also share an advisory lock
// on the directory, held by the writer around the rename and by a reader
// around the removal of a damaged file: a reader therefore only ever removes
// the very file it judged damaged, never a good one renamed in meanwhile.
//
// A save whose bytes equal those of the last save, while the file on disk is
// still the one that save produced, is skipped to spare the flash.
#include "common/owned_fd.h"
#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

uint64_t _g_db_bytes_written = 0;
uint64_t _g_db_saves_skipped = 0;
uint64_t _g_db_saves_made = 0;

namespace
{

constexpr size_t DB_FIELD = 32;
constexpr size_t DB_HEADER = 2 * DB_FIELD;
constexpr size_t DB_MAX_IMAGE = DB_HEADER + MAX_DEVICES * DEVICE_RECORD_SIZE;

// Owned stream, closed with file_close.
struct Stream {
    FILE *f;
    explicit Stream(FILE *file) : f(file) {}
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    ~Stream() { file_close(f); }
};

// Identity of a file on disk: any rewrite, replacement or removal changes it.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    timespec ctime{};
};

bool identity_of(const std::string &path, FileIdentity *id)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0)
        return false;
    *id = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    return true;
}

bool same_identity(const FileIdentity &a, const FileIdentity &b)
{
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && a.ctime.tv_sec == b.ctime.tv_sec &&
           a.ctime.tv_nsec == b.ctime.tv_nsec;
}

// What the last successful save wrote, and where.
struct LastSave {
    bool valid = false;
    std::string path;
    size_t size = 0;
    FileIdentity identity;
    uint8_t image[DB_MAX_IMAGE];
};
LastSave g_last_save;

std::string db_path()
{
    return std::string(_g_file, field_len(_g_file, sizeof _g_file));
}

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The directory holding the database, locked exclusively for as long as
// the object lives (or not at all when it cannot be opened).
struct DirLock {
    OwnedFd dir;
    explicit DirLock(const std::string &path)
        : dir(open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (dir.fd >= 0)
            while (flock(dir.fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
};

// The decimal number at the start of a header field, read like atoi but
// never past the field; false when the field is empty.
bool header_number(const char *field, long *value)
{
    if (field[0] == '\0')
        return false;
    char text[DB_FIELD + 1];
    memcpy(text, field, DB_FIELD);
    text[DB_FIELD] = '\0';
    *value = strtol(text, nullptr, 10);
    return true;
}

// Removes the file at path if it is still the file that fd has open.
void discard_damaged(const std::string &path, int fd)
{
    struct stat mine {
    };
    if (fstat(fd, &mine) != 0)
        return;
    DirLock lock(path);
    struct stat now {
    };
    if (stat(path.c_str(), &now) != 0)
        return;
    if (now.st_dev != mine.st_dev || now.st_ino != mine.st_ino) {
        ZLOG(ZLOG_INFO, "database %s was replaced while being read; kept\n", path.c_str());
        return;
    }
    if (unlink(path.c_str()) == 0)
        ZLOG(ZLOG_ERR, "database %s has no valid header; removed\n", path.c_str());
}

} // namespace

FILE *file_open(const char *path, const char *mode)
{
    if (text_empty(path) || text_empty(mode))
        return nullptr;
    return fopen(path, mode);
}

void file_close(FILE *file)
{
    if (file != nullptr)
        fclose(file);
}

int file_CopyToStruct(FILE *file)
{
    if (file == nullptr || _g_devices == nullptr)
        return -1;

    // A header cut short reads as if its missing bytes were zero.
    char size_field[DB_FIELD] = {};
    char count_field[DB_FIELD] = {};
    if (fread(size_field, 1, DB_FIELD, file) == DB_FIELD)
        (void)!fread(count_field, 1, DB_FIELD, file);

    long size = 0;
    header_number(size_field, &size);
    if (size != long(DEVICE_RECORD_SIZE))
        return -1;

    // A count the table cannot hold (below 0 or above 256) makes the file
    // count as damaged, like a wrong size header.
    long count = _g_device_count;
    if (header_number(count_field, &count) && (count < 0 || count > MAX_DEVICES)) {
        ZLOG(ZLOG_ERR, "Init record count %ld out of range 0..%d\n", count, MAX_DEVICES);
        return -1;
    }
    _g_device_count = int32_t(count);
    ZLOG(ZLOG_INFO, "Init _g_device_count - %d\n", _g_device_count);

    // A file cut short is not detected: the count stays as stored, and the
    // bytes that are missing leave the table as it was (zero at start-up).
    if (_g_device_count > 0)
        (void)!fread(_g_devices, DEVICE_RECORD_SIZE, size_t(_g_device_count), file);
    return 0;
}

int Init()
{
    if (_g_file[0] == '\0')
        return -1;
    std::string path = db_path();

    // Create the file empty when it is missing.
    {
        OwnedFd created(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666));
    }
    Stream file(file_open(path.c_str(), "r+be"));
    if (file.f == nullptr) {
        ZLOG(ZLOG_ERR, "File is NOK(%s). Check the permission\n", path.c_str());
        return -1;
    }
    if (file_CopyToStruct(file.f) == -1)
        discard_damaged(path, fileno(file.f));
    return 0;
}

int update_db()
{
    std::string path = db_path();
    if (path.empty() || _g_devices == nullptr) {
        ZLOG(ZLOG_ERR, "File is NOK(%s). Check the permission\n", path.c_str());
        return -1;
    }
    int32_t count = _g_device_count < 0 ? 0 : _g_device_count > MAX_DEVICES ? MAX_DEVICES : _g_device_count;
    char header[DB_HEADER] = {};
    snprintf(header, DB_FIELD, "%zu", DEVICE_RECORD_SIZE);
    snprintf(header + DB_FIELD, DB_FIELD, "%d", count);
    size_t body = size_t(count) * DEVICE_RECORD_SIZE;
    size_t total = DB_HEADER + body;

    if (g_last_save.valid && g_last_save.path == path && g_last_save.size == total &&
        memcmp(g_last_save.image, header, DB_HEADER) == 0 &&
        memcmp(g_last_save.image + DB_HEADER, _g_devices, body) == 0) {
        FileIdentity now;
        if (identity_of(path, &now) && same_identity(now, g_last_save.identity)) {
            ++_g_db_saves_skipped;
            return 0;
        }
    }
    g_last_save.valid = false;

    std::string tmp = path + ".tmp";
    bool written = false;
    {
        Stream file(file_open(tmp.c_str(), "wbe"));
        if (file.f == nullptr) {
            ZLOG(ZLOG_ERR, "File is NOK(%s). Check the permission\n", path.c_str());
            return -1;
        }
        written = fwrite(header, 1, DB_HEADER, file.f) == DB_HEADER &&
                  (body == 0 || fwrite(_g_devices, 1, body, file.f) == body) && fflush(file.f) == 0 &&
                  fsync(fileno(file.f)) == 0;
    }
    if (!written) {
        ZLOG(ZLOG_ERR, "writing %s failed (%s); database left as it was\n", tmp.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }

    FileIdentity identity;
    bool have_identity = false;
    {
        DirLock lock(path);
        if (rename(tmp.c_str(), path.c_str()) != 0) {
            ZLOG(ZLOG_ERR, "replacing %s failed (%s); database left as it was\n", path.c_str(),
                 strerror(errno));
            unlink(tmp.c_str());
            return -1;
        }
        if (lock.dir.fd >= 0)
            fsync(lock.dir.fd);
        have_identity = identity_of(path, &identity);
    }
    _g_db_bytes_written += total;
    ++_g_db_saves_made;

    if (have_identity) {
        g_last_save.path = path;
        g_last_save.size = total;
        g_last_save.identity = identity;
        memcpy(g_last_save.image, header, DB_HEADER);
        memcpy(g_last_save.image + DB_HEADER, _g_devices, body);
        g_last_save.valid = true;
    }
    return 0;
}
