// Configuration store: one file per object instance,
// $ZELMO_ROOT/var/lib/cfgstore/<ObjectId>/<depth>.<i1>.<i2>.<i3>.<i4>.<i5>.<i6>.
//
// The file name names the instance: the ObjectId and InstanceId handed back in
// an object are always those of the file it was read from, so a walk with
// cfg_getNextObj advances even over a file whose stored header is damaged.
#include "platform/cfgstore.h"
#include "common/owned_fd.h"
#include "platform/log.h"
#include "platform/root.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// Owned directory stream.
struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};

// Sort key of an instance: depth, then i1..i6.
using InstanceKey = std::array<uint64_t, 7>;

InstanceKey key_of(const InstanceId &id)
{
    InstanceKey k{id.depth};
    for (int i = 0; i < 6; ++i)
        k[size_t(i) + 1] = id.inst[i].get();
    return k;
}

InstanceId id_of(const InstanceKey &k)
{
    InstanceId id{};
    id.depth = uint8_t(k[0]);
    for (int i = 0; i < 6; ++i)
        id.inst[i].set(uint32_t(k[size_t(i) + 1]));
    return id;
}

std::string object_dir(uint32_t objectId)
{
    return root_path("/var/lib/cfgstore") + "/" + std::to_string(objectId);
}

std::string instance_name(const InstanceKey &k)
{
    char name[7 * 11 + 1];
    snprintf(name, sizeof name, "%lu.%lu.%lu.%lu.%lu.%lu.%lu", (unsigned long)k[0], (unsigned long)k[1],
             (unsigned long)k[2], (unsigned long)k[3], (unsigned long)k[4], (unsigned long)k[5],
             (unsigned long)k[6]);
    return name;
}

// "d.i1.i2.i3.i4.i5.i6" in plain decimal digits, depth below 256, instance
// numbers below 2^32; anything else (temporary files included) is no instance.
std::optional<InstanceKey> parse_name(const char *name)
{
    InstanceKey k{};
    size_t field = 0;
    const char *p = name;
    for (;;) {
        if (*p < '0' || *p > '9')
            return std::nullopt;
        uint64_t v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + uint64_t(*p - '0');
            if (++digits > 10)
                return std::nullopt;
            ++p;
        }
        if (v > (field == 0 ? 255u : 0xffffffffu))
            return std::nullopt;
        k[field++] = v;
        if (field == k.size())
            return *p == '\0' ? std::optional<InstanceKey>(k) : std::nullopt;
        if (*p != '.')
            return std::nullopt;
        ++p;
    }
}

// Reads the instance file into object: at most size bytes, the rest of
// object zero-filled, header set to the instance read. object is untouched
// when the file cannot be read.
bool read_instance(uint32_t objectId, const InstanceKey &key, void *object, size_t size)
{
    std::string path = object_dir(objectId) + "/" + instance_name(key);
    OwnedFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        return false;
    std::vector<uint8_t> data(size, 0);
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(file.fd, data.data() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ZLOG(ZLOG_ERR, "cfgstore: cannot read %s: %s\n", path.c_str(), strerror(errno));
            return false;
        }
        if (n == 0)
            break;
        got += size_t(n);
    }
    CfgObjHeader header{};
    header.ObjectId.set(objectId);
    header.instanceId = id_of(key);
    memcpy(data.data(), &header, sizeof header);
    memcpy(object, data.data(), size);
    return true;
}

bool read_header(const void *object, size_t size, CfgObjHeader *header)
{
    if (object == nullptr || size < sizeof(CfgObjHeader))
        return false;
    memcpy(header, object, sizeof *header);
    return true;
}

bool write_all(int fd, const uint8_t *p, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

std::atomic<unsigned> _g_cfg_tmp_counter{0};

} // namespace

int cfg_getObj(void *object, size_t size, uint32_t /*flags*/)
{
    CfgObjHeader header;
    if (!read_header(object, size, &header))
        return -1;
    return read_instance(header.ObjectId.get(), key_of(header.instanceId), object, size) ? 0 : -1;
}

int cfg_getNextObj(void *object, size_t size, uint32_t /*flags*/)
{
    CfgObjHeader header;
    if (!read_header(object, size, &header))
        return -1;
    uint32_t objectId = header.ObjectId.get();
    InstanceKey after = key_of(header.instanceId);
    bool from_start = after == InstanceKey{};

    std::vector<InstanceKey> keys;
    if (std::unique_ptr<DIR, DirCloser> dir{opendir(object_dir(objectId).c_str())}) {
        while (dirent *e = readdir(dir.get()))
            if (auto k = parse_name(e->d_name))
                if (from_start || *k > after)
                    keys.push_back(*k);
    }
    // Ascending; an instance removed meanwhile is passed over.
    std::sort(keys.begin(), keys.end());
    for (const InstanceKey &k : keys)
        if (read_instance(objectId, k, object, size))
            return 0;
    return -1;
}

int cfg_setObj(const void *object, size_t size, uint32_t /*flags*/)
{
    CfgObjHeader header;
    if (!read_header(object, size, &header))
        return -1;
    std::string dir = object_dir(header.ObjectId.get());
    if (make_dirs(dir) != 0) {
        ZLOG(ZLOG_ERR, "cfgstore: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return -1;
    }
    std::string path = dir + "/" + instance_name(key_of(header.instanceId));
    std::string tmp = dir + "/.tmp." + std::to_string(getpid()) + "." + std::to_string(gettid()) + "." +
                      std::to_string(_g_cfg_tmp_counter.fetch_add(1));
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        ZLOG(ZLOG_ERR, "cfgstore: cannot create %s: %s\n", tmp.c_str(), strerror(errno));
        return -1;
    }
    bool ok = write_all(fd, static_cast<const uint8_t *>(object), size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        ZLOG(ZLOG_ERR, "cfgstore: cannot write %s: %s\n", path.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    // Make the rename itself durable.
    OwnedFd directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.fd >= 0)
        fsync(directory.fd);
    return 0;
}
