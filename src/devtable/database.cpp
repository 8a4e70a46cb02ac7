// The database file: loaded once at start-up, written back after every
// change of the table.
//
// The file is a 64-byte header (record size, record count) and the used
// records in table order. A save writes only the records that differ from
// what the file holds, and the header, in place. It is made safe against a
// power cut by a journal next to the file (PATH.journal): the new records
// with their indexes, the new header and a checksum go to the journal and
// are flushed to the disk first; then the same bytes are written in place and
// flushed; then the journal's head is zeroed. A start-up that finds a complete
// journal writes it again, one that finds an incomplete one ignores it: the
// file always holds either the table before a save or the table after it.
//
// What the file holds is known from a 64-bit hash of each record as last
// written and the last written count, together with the identity of the file
// (inode, size, times): a file changed by anybody else is rewritten whole. A
// save that would change nothing writes nothing.
//
// A missing or unknown file is written whole: a temporary file with a unique
// name, flushed, then renamed over the database. A database that already
// exists keeps its mode and owner.
//
// The writer holds an exclusive flock on the database while it writes in
// place; readers take a shared one, so they never see a half-applied save.
#include "common/owned_fd.h"
#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

uint64_t _g_db_bytes_written = 0;
uint64_t _g_db_saves_skipped = 0;
uint64_t _g_db_saves_made = 0;

namespace
{

constexpr size_t DB_FIELD = 32;
constexpr size_t DB_HEADER = 2 * DB_FIELD;
constexpr char JOURNAL_MAGIC[8] = {'z', 'e', 'l', 'm', 'o', 'j', '1', '\n'};

// The journal, little-endian like the file: a head, n entries (the record's
// index, then the record), the new 64-byte file header, then the hash of
// everything before it.
struct JournalHead {
    char magic[8];
    le_u32 count;   // the table's record count after the save
    le_u32 records; // n
};
struct JournalIndex {
    le_u32 index;
};
struct JournalSum {
    le_u64 hash;
};
static_assert(offsetof(JournalHead, count) == 8 && offsetof(JournalHead, records) == 12);
static_assert(sizeof(JournalHead) == 16 && sizeof(JournalIndex) == 4 && sizeof(JournalSum) == 8);
constexpr size_t JOURNAL_HEAD = sizeof(JournalHead);
constexpr size_t JOURNAL_ENTRY = sizeof(JournalIndex) + DEVICE_RECORD_SIZE;

// Identity of a file on disk: any rewrite, replacement or removal changes it.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    timespec ctime{};
};

FileIdentity identity_of(const struct stat &st)
{
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool same_identity(const FileIdentity &a, const FileIdentity &b)
{
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && a.ctime.tv_sec == b.ctime.tv_sec &&
           a.ctime.tv_nsec == b.ctime.tv_nsec;
}

// What the file holds, as far as this process knows.
struct DiskState {
    bool valid = false;
    std::string path;
    int32_t count = 0;
    FileIdentity identity;
    uint64_t hash[MAX_DEVICES];
};
DiskState g_disk;

// Hash of a byte stream, eight bytes at a time; the stream may come in
// pieces of any length.
struct Hasher {
    uint64_t h = 0x9e3779b97f4a7c15ull;
    uint8_t carry[8] = {};
    size_t fill = 0;
    uint64_t total = 0;
    void add(const void *data, size_t size)
    {
        const auto *p = static_cast<const uint8_t *>(data);
        total += size;
        while (size > 0 && fill > 0) {
            carry[fill++] = *p++;
            --size;
            if (fill == 8) {
                mix_bytes(carry);
                fill = 0;
            }
        }
        for (; size >= 8; p += 8, size -= 8)
            mix_bytes(p);
        memcpy(carry + fill, p, size);
        fill += size;
    }
    uint64_t finish()
    {
        memset(carry + fill, 0, sizeof carry - fill);
        mix(load_le64(carry) ^ total);
        return h;
    }
    // Words are read little-endian, so a journal's hash is the same on
    // every host.
    void mix_bytes(const uint8_t *p) { mix(load_le64(p)); }
    void mix(uint64_t w)
    {
        h ^= w;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
};

// Hash of one record, computed for every record at every save, so it must
// be fast: four independent lanes of 8-byte words (the rounds and the final
// mix of xxHash64), so the multiplications overlap.
constexpr uint64_t P1 = 0x9e3779b185ebca87ull, P2 = 0xc2b2ae3d27d4eb4full, P3 = 0x165667b19e3779f9ull;

uint64_t rotl(uint64_t v, int bits)
{
    return v << bits | v >> (64 - bits);
}

uint64_t lane_round(uint64_t acc, uint64_t word)
{
    return rotl(acc + word * P2, 31) * P1;
}

uint64_t record_hash(const DeviceRecord &r)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&r);
    uint64_t lane[4] = {P1 + P2, P2, 0, 0 - P1};
    size_t at = 0;
    for (; at + 32 <= DEVICE_RECORD_SIZE; at += 32)
        for (int i = 0; i < 4; ++i)
            lane[i] = lane_round(lane[i], load_le64(p + at + 8 * i));
    uint64_t h = rotl(lane[0], 1) + rotl(lane[1], 7) + rotl(lane[2], 12) + rotl(lane[3], 18);
    for (uint64_t l : lane)
        h = (h ^ lane_round(0, l)) * P1 + 0x85ebca77c2b2ae63ull;
    h += DEVICE_RECORD_SIZE;
    for (; at + 4 <= DEVICE_RECORD_SIZE; at += 4)
        h = rotl(h ^ uint64_t(load_le32(p + at)) * P1, 23) * P2 + P3;
    h ^= h >> 33;
    h *= P2;
    h ^= h >> 29;
    h *= P3;
    return h ^ h >> 32;
}
static_assert(DEVICE_RECORD_SIZE % 4 == 0, "the tail of a record is read in 4-byte words");

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

void fsync_dir(const std::string &path)
{
    OwnedFd dir(open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        fsync(dir.fd);
}

void lock_fd(int fd, int how)
{
    while (flock(fd, how) != 0 && errno == EINTR) {
    }
}

void make_header(int32_t count, char header[DB_HEADER])
{
    memset(header, 0, DB_HEADER);
    snprintf(header, DB_FIELD, "%zu", DEVICE_RECORD_SIZE);
    snprintf(header + DB_FIELD, DB_FIELD, "%d", count);
}

// Reads up to size bytes at offset; the number read (short at the end of
// the file), or -1.
ssize_t read_at(int fd, void *buf, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, static_cast<char *>(buf) + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return ssize_t(done);
}

bool write_at(int fd, const void *buf, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, static_cast<const char *>(buf) + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    _g_db_bytes_written += size;
    return true;
}

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

// Loads the file open at fd into dest (MAX_DEVICES records) and *count.
// 0, or -1 with the reason in why when the header is not a valid one (dest
// and *count are then left alone). A header with an empty count field keeps
// *count as it was.
int load_fd(int fd, DeviceRecord *dest, int32_t *count, std::string *why)
{
    // A header cut short reads as if its missing bytes were zero.
    char header[DB_HEADER] = {};
    if (read_at(fd, header, DB_HEADER, 0) < 0) {
        *why = strerror(errno);
        return -1;
    }
    long size = 0;
    header_number(header, &size);
    if (size != long(DEVICE_RECORD_SIZE)) {
        *why = "not a zelmo database (record size header is not " + std::to_string(DEVICE_RECORD_SIZE) + ")";
        return -1;
    }
    // A count the table cannot hold (below 0 or above 256) makes the file
    // count as damaged, like a wrong size header.
    long stored = *count;
    if (header_number(header + DB_FIELD, &stored) && (stored < 0 || stored > MAX_DEVICES)) {
        *why = "not a zelmo database (record count " + std::to_string(stored) + " out of range 0.." +
               std::to_string(MAX_DEVICES) + ")";
        return -1;
    }
    *count = int32_t(stored);
    // A file cut short is not detected: the count stays as stored, and the
    // bytes that are missing leave dest as it was (zero at start-up).
    if (*count > 0)
        (void)!read_at(fd, dest, size_t(*count) * DEVICE_RECORD_SIZE, DB_HEADER);
    return 0;
}

// A complete journal, read whole; empty when there is none or it is not
// complete.
struct Journal {
    std::vector<uint8_t> bytes;
    int32_t count = 0;
    uint32_t records = 0;
    bool complete() const { return !bytes.empty(); }
    const uint8_t *entry(uint32_t i) const { return bytes.data() + JOURNAL_HEAD + i * JOURNAL_ENTRY; }
    uint32_t index(uint32_t i) const { return load_le32(entry(i)); }
    const uint8_t *record(uint32_t i) const { return entry(i) + sizeof(JournalIndex); }
    const uint8_t *header() const { return entry(records); }
};

// Reads the journal at path; present is set when it holds anything but an
// emptied one (no bytes, or a head of zeros). The file keeps its size from
// save to save, so that a save overwrites blocks it already has instead of
// allocating new ones: the bytes after the journal's own end are those of an
// earlier, longer one.
Journal read_journal(const std::string &path, bool *present)
{
    Journal j;
    *present = false;
    OwnedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {
    };
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || st.st_size == 0)
        return j;
    JournalHead head{};
    const JournalHead emptied{};
    ssize_t got = read_at(fd.fd, &head, sizeof head, 0);
    *present = got != ssize_t(sizeof head) || memcmp(&head, &emptied, sizeof head) != 0;
    if (got != ssize_t(sizeof head) || memcmp(head.magic, JOURNAL_MAGIC, sizeof JOURNAL_MAGIC) != 0)
        return j;
    uint32_t count = head.count.get(), records = head.records.get();
    if (count > MAX_DEVICES || records > MAX_DEVICES)
        return j;
    size_t body = JOURNAL_HEAD + records * JOURNAL_ENTRY + DB_HEADER;
    std::vector<uint8_t> bytes(body + sizeof(JournalSum));
    if (size_t(st.st_size) < bytes.size() ||
        read_at(fd.fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
        return j;
    Hasher hasher;
    hasher.add(bytes.data(), body);
    JournalSum stored;
    memcpy(&stored, bytes.data() + body, sizeof stored);
    if (stored.hash.get() != hasher.finish())
        return j;
    for (uint32_t i = 0; i < records; ++i)
        if (load_le32(bytes.data() + JOURNAL_HEAD + i * JOURNAL_ENTRY) >= count)
            return j;
    j.bytes.swap(bytes);
    j.count = int32_t(count);
    j.records = records;
    return j;
}

std::string journal_path(const std::string &path)
{
    return path + ".journal";
}

// Empties the journal at path, if there is one, durably.
void clear_journal(const std::string &path)
{
    OwnedFd fd(open(journal_path(path).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.fd >= 0 && ftruncate(fd.fd, 0) == 0)
        fsync(fd.fd);
}

// Writes a complete journal into the database open (and locked) at fd.
bool apply_journal(int fd, const Journal &j)
{
    for (uint32_t i = 0; i < j.records; ++i) {
        if (!write_at(fd, j.record(i), DEVICE_RECORD_SIZE,
                      off_t(DB_HEADER + j.index(i) * DEVICE_RECORD_SIZE)))
            return false;
    }
    return write_at(fd, j.header(), DB_HEADER, 0) &&
           ftruncate(fd, off_t(DB_HEADER + size_t(j.count) * DEVICE_RECORD_SIZE)) == 0 && fsync(fd) == 0;
}

// Remembers that the file open at fd holds the table's first count records.
void remember_disk(const std::string &path, int fd, int32_t count)
{
    struct stat st {
    };
    g_disk.valid = false;
    if (fstat(fd, &st) != 0)
        return;
    g_disk.path = path;
    g_disk.count = count;
    g_disk.identity = identity_of(st);
    for (int32_t i = 0; i < count; ++i)
        g_disk.hash[i] = record_hash(_g_devices[i]);
    g_disk.valid = true;
}

// Writes the whole table to a new file renamed over the database. 0 or -1.
int save_whole(const std::string &path, int32_t count, const char *header)
{
    g_disk.valid = false;
    std::string tmp;
    OwnedFd fd(-1);
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 100 && fd.fd < 0; ++attempt) {
        tmp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++serial);
        fd.fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd.fd < 0 && errno != EEXIST)
            break;
    }
    if (fd.fd < 0) {
        ZLOG(ZLOG_ERR, "File is NOK(%s). Check the permission\n", path.c_str());
        return -1;
    }
    struct stat old {
    };
    if (stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        if (fchmod(fd.fd, old.st_mode & 07777) != 0 || fchown(fd.fd, old.st_uid, old.st_gid) != 0)
            ZLOG(ZLOG_ERR, "keeping the mode and owner of %s failed (%s)\n", path.c_str(), strerror(errno));
    }
    size_t body = size_t(count) * DEVICE_RECORD_SIZE;
    bool written = write_at(fd.fd, header, DB_HEADER, 0) &&
                   (body == 0 || write_at(fd.fd, _g_devices, body, DB_HEADER)) && fsync(fd.fd) == 0;
    if (!written) {
        ZLOG(ZLOG_ERR, "writing %s failed (%s); database left as it was\n", tmp.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    // A journal left from before must never be written over the new file.
    clear_journal(path);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        ZLOG(ZLOG_ERR, "replacing %s failed (%s); database left as it was\n", path.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    fsync_dir(path);
    remember_disk(path, fd.fd, count);
    return 0;
}

// Opens the journal for writing, creating it (0600) when missing.
int open_journal(const std::string &path)
{
    std::string jpath = journal_path(path);
    int fd = open(jpath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(jpath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            fsync_dir(path); // the journal itself must survive a power cut
    }
    return fd;
}

// Writes the records listed in changed and the header in place, through
// the journal. 0, 1 when the file is not the one last written (the caller
// then writes it whole), or -1.
int save_in_place(const std::string &path, int32_t count, const char *header, const uint16_t *changed,
                  uint32_t n, const uint64_t *hashes)
{
    OwnedFd db(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (db.fd < 0)
        return 1;
    lock_fd(db.fd, LOCK_EX);
    struct stat st {
    };
    if (fstat(db.fd, &st) != 0 || !same_identity(identity_of(st), g_disk.identity))
        return 1;
    // A table that grows needs blocks the file does not have yet: they are
    // reserved before anything is written, so that a full disk fails the
    // save here, with the file and the journal untouched. A file system
    // that cannot reserve goes on without.
    off_t size = off_t(DB_HEADER + size_t(count) * DEVICE_RECORD_SIZE);
    if (size > st.st_size && fallocate(db.fd, FALLOC_FL_KEEP_SIZE, st.st_size, size - st.st_size) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
        ZLOG(ZLOG_ERR, "writing %s failed (%s); database left as it was\n", path.c_str(), strerror(errno));
        return -1;
    }

    OwnedFd journal(open_journal(path));
    if (journal.fd < 0) {
        ZLOG(ZLOG_ERR, "opening %s failed (%s); database left as it was\n", journal_path(path).c_str(),
             strerror(errno));
        return -1;
    }
    JournalHead head;
    memcpy(head.magic, JOURNAL_MAGIC, sizeof JOURNAL_MAGIC);
    head.count.set(uint32_t(count));
    head.records.set(n);
    JournalIndex indexes[MAX_DEVICES];
    iovec iov[2 * MAX_DEVICES + 3];
    int parts = 0;
    Hasher hasher;
    auto add = [&](const void *p, size_t size) {
        iov[parts++] = {const_cast<void *>(p), size};
        hasher.add(p, size);
    };
    add(&head, sizeof head);
    for (uint32_t i = 0; i < n; ++i) {
        indexes[i].index.set(changed[i]);
        add(&indexes[i], sizeof indexes[i]);
        add(&_g_devices[changed[i]], DEVICE_RECORD_SIZE);
    }
    add(header, DB_HEADER);
    JournalSum sum;
    sum.hash.set(hasher.finish());
    iov[parts++] = {&sum, sizeof sum};
    size_t total = JOURNAL_HEAD + n * JOURNAL_ENTRY + DB_HEADER + sizeof sum;

    // Journal first, then the file in place, then the journal emptied.
    ssize_t put = pwritev(journal.fd, iov, parts, 0);
    if (put != ssize_t(total) || fsync(journal.fd) != 0) {
        ZLOG(ZLOG_ERR, "writing %s failed (%s); database left as it was\n", journal_path(path).c_str(),
             put < 0 ? strerror(errno) : "short write");
        if (ftruncate(journal.fd, 0) == 0)
            fsync(journal.fd);
        return -1;
    }
    _g_db_bytes_written += total;
    bool applied = true;
    for (uint32_t i = 0; i < n && applied; ++i)
        applied = write_at(db.fd, &_g_devices[changed[i]], DEVICE_RECORD_SIZE,
                           off_t(DB_HEADER + changed[i] * DEVICE_RECORD_SIZE));
    applied = applied && write_at(db.fd, header, DB_HEADER, 0) &&
              (st.st_size == size || ftruncate(db.fd, size) == 0) && fsync(db.fd) == 0;
    if (!applied) {
        // The journal stays: the next start-up completes the save.
        ZLOG(ZLOG_ERR, "writing %s failed (%s); completed at the next start\n", path.c_str(),
             strerror(errno));
        g_disk.valid = false;
        return -1;
    }
    // The journal is emptied by zeroing its head, which overwrites a block
    // in place (cutting the file would free its blocks, and the next save
    // would pay for allocating them again). The emptied head need not reach
    // the disk before the next save: until then the complete journal only
    // repeats what the file already holds, and the next one is flushed over
    // it.
    const JournalHead emptied{};
    if (!write_at(journal.fd, &emptied, sizeof emptied, 0))
        ZLOG(ZLOG_ERR, "emptying %s failed (%s)\n", journal_path(path).c_str(), strerror(errno));
    if (fstat(db.fd, &st) != 0) {
        g_disk.valid = false;
        return 0;
    }
    g_disk.identity = identity_of(st);
    g_disk.count = count;
    for (uint32_t i = 0; i < n; ++i)
        g_disk.hash[changed[i]] = hashes[i];
    return 0;
}

// Loads the file open at fd into the table, as Init and file_CopyToStruct do.
int load_table(int fd, std::string *why)
{
    if (load_fd(fd, _g_devices, &_g_device_count, why) != 0)
        return -1; // the caller logs why
    ZLOG(ZLOG_INFO, "Init _g_device_count - %d\n", _g_device_count);
    return 0;
}

// A reader's load of the database at path into dest and *count: read-only,
// under a shared lock, so it waits for a save being written in place, with
// a complete journal that the daemon has not yet written back applied, so
// it shows the table as it will be once written back. A file that cannot
// be locked is read all the same. 0, or -1 with "cannot read PATH: reason"
// or "PATH: not a zelmo database (...)" in why.
int read_for_reader(const char *path, bool missing_is_empty, DeviceRecord *dest, int32_t *count,
                    std::string *why)
{
    OwnedFd db(open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (db.fd < 0) {
        if (errno == ENOENT && missing_is_empty)
            return 0;
        *why = std::string("cannot read ") + path + ": " + strerror(errno);
        return -1;
    }
    lock_fd(db.fd, LOCK_SH);
    struct stat st {
    };
    if (fstat(db.fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = std::string("cannot read ") + path + ": " + strerror(EISDIR);
        return -1;
    }
    if (load_fd(db.fd, dest, count, why) != 0) {
        *why = std::string(path) + ": " + *why;
        return -1;
    }
    bool present = false;
    Journal journal = read_journal(journal_path(path), &present);
    if (journal.complete()) {
        for (uint32_t i = 0; i < journal.records; ++i)
            memcpy(&dest[journal.index(i)], journal.record(i), DEVICE_RECORD_SIZE);
        *count = journal.count;
    }
    return 0;
}

// Moves a damaged database aside, next to it, keeping the newest copy.
void move_damaged(const std::string &path, const std::string &why)
{
    std::string aside = path + ".damaged";
    if (rename(path.c_str(), aside.c_str()) == 0) {
        fsync_dir(path);
        ZLOG(ZLOG_ERR, "database %s: %s; moved to %s\n", path.c_str(), why.c_str(), aside.c_str());
    } else {
        ZLOG(ZLOG_ERR, "database %s: %s; moving it to %s failed (%s)\n", path.c_str(), why.c_str(),
             aside.c_str(), strerror(errno));
    }
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
    std::string why;
    return load_table(fileno(file), &why);
}

int Init()
{
    g_disk.valid = false;
    if (_g_file[0] == '\0' || _g_devices == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string path = db_path();
    OwnedFd db(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (db.fd < 0 && errno == ENOENT) {
        // Nothing stored yet: the table starts empty, and the first save
        // creates the file, which must be possible.
        if (access(dir_of(path).c_str(), W_OK | X_OK) != 0)
            return -1;
        return 0;
    }
    if (db.fd < 0) {
        int saved = errno;
        ZLOG(ZLOG_ERR, "File is NOK(%s). Check the permission\n", path.c_str());
        errno = saved;
        return -1;
    }
    lock_fd(db.fd, LOCK_EX);

    // A save cut short: a complete journal is written again, an incomplete
    // one never touched the file.
    bool present = false;
    Journal journal = read_journal(journal_path(path), &present);
    if (journal.complete()) {
        if (apply_journal(db.fd, journal))
            ZLOG(ZLOG_INFO, "database %s: interrupted save of %u records completed from %s\n", path.c_str(),
                 journal.records, journal_path(path).c_str());
        else
            ZLOG(ZLOG_ERR, "database %s: completing the interrupted save failed (%s)\n", path.c_str(),
                 strerror(errno));
    } else if (present) {
        ZLOG(ZLOG_INFO, "database %s: incomplete journal %s ignored\n", path.c_str(),
             journal_path(path).c_str());
    }
    if (present)
        clear_journal(path);

    std::string why;
    if (load_table(db.fd, &why) != 0) {
        move_damaged(path, why);
        return 0;
    }
    struct stat st {
    };
    if (fstat(db.fd, &st) == 0 &&
        st.st_size == off_t(DB_HEADER + size_t(_g_device_count) * DEVICE_RECORD_SIZE))
        remember_disk(path, db.fd, _g_device_count);
    return 0;
}

int db_load_readonly(const char *path, bool missing_is_empty)
{
    if (_g_devices == nullptr && devtable_alloc() != 0)
        return -1;
    std::string why;
    if (read_for_reader(path, missing_is_empty, _g_devices, &_g_device_count, &why) != 0) {
        fprintf(stderr, "zelmo: %s\n", why.c_str());
        return -1;
    }
    return 0;
}

int db_read_records(const char *path, bool missing_is_empty, std::vector<DeviceRecord> *records,
                    std::string *why)
{
    records->assign(MAX_DEVICES, DeviceRecord{});
    int32_t count = 0;
    if (read_for_reader(path, missing_is_empty, records->data(), &count, why) != 0) {
        records->clear();
        return -1;
    }
    records->resize(size_t(count));
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
    char header[DB_HEADER];
    make_header(count, header);

    if (g_disk.valid && g_disk.path == path) {
        uint16_t changed[MAX_DEVICES];
        uint64_t hashes[MAX_DEVICES];
        uint32_t n = 0;
        for (int32_t i = 0; i < count; ++i) {
            uint64_t h = record_hash(_g_devices[i]);
            if (i >= g_disk.count || h != g_disk.hash[i]) {
                changed[n] = uint16_t(i);
                hashes[n++] = h;
            }
        }
        if (n == 0 && count == g_disk.count) {
            struct stat st {
            };
            if (stat(path.c_str(), &st) == 0 && same_identity(identity_of(st), g_disk.identity)) {
                ++_g_db_saves_skipped;
                return 0;
            }
        } else {
            int r = save_in_place(path, count, header, changed, n, hashes);
            if (r == 0)
                ++_g_db_saves_made;
            if (r <= 0)
                return r;
        }
    }
    int r = save_whole(path, count, header);
    if (r == 0)
        ++_g_db_saves_made;
    return r;
}
