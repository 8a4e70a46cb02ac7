#include "store.h"

#include "platform/root.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static std::string cfg_root()
{
    return root_path("/var/lib/cfgstore");
}

// "<depth>.<i1>.<i2>.<i3>.<i4>.<i5>.<i6>"
static std::string instance_name(const InstanceId &id)
{
    char name[96];
    snprintf(name, sizeof name, "%u.%u.%u.%u.%u.%u.%u", unsigned(id.depth), id.inst[0].get(),
             id.inst[1].get(), id.inst[2].get(), id.inst[3].get(), id.inst[4].get(), id.inst[5].get());
    return name;
}

std::string cfg_file(const void *object)
{
    CfgObjHeader h;
    memcpy(&h, object, sizeof h);
    return cfg_root() + "/" + std::to_string(h.ObjectId.get()) + "/" + instance_name(h.instanceId);
}

bool write_file_atomic(const std::string &path, const void *data, size_t size, std::string &err)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && make_dirs(path.substr(0, slash)) != 0) {
        err = "cannot create the directory of " + path + ": " + strerror(errno);
        return false;
    }
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = "cannot create " + tmp + ": " + strerror(errno);
        return false;
    }
    const auto *p = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = "cannot write " + tmp + ": " + strerror(errno);
            close(fd);
            unlink(tmp.c_str());
            return false;
        }
        done += size_t(n);
    }
    close(fd);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot rename " + tmp + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool read_whole_file(const std::string &path, Bytes &out)
{
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    close(fd);
    return true;
}

bool cfg_write(const void *object, size_t size, std::string &err)
{
    return write_file_atomic(cfg_file(object), object, size, err);
}

std::vector<LanHostEntryObject> cfg_lanhosts()
{
    std::vector<LanHostEntryObject> out;
    std::string dir = cfg_root() + "/273";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || strchr(e->d_name, '.') == nullptr || strstr(e->d_name, ".tmp") != nullptr)
            continue;
        Bytes b;
        if (!read_whole_file(dir + "/" + e->d_name, b) || b.size() < sizeof(CfgObjHeader))
            continue;
        LanHostEntryObject entry{};
        memcpy(&entry, b.data(), std::min(b.size(), sizeof entry));
        out.push_back(entry);
    }
    closedir(d);
    auto key = [](const LanHostEntryObject &e) {
        std::vector<uint32_t> k{e.instanceId.depth};
        for (const auto &n : e.instanceId.inst)
            k.push_back(n.get());
        return k;
    };
    std::sort(out.begin(), out.end(),
              [&](const LanHostEntryObject &a, const LanHostEntryObject &b) { return key(a) < key(b); });
    return out;
}

bool csmsg_send(const Bytes &datagram, std::string &err, uint32_t app_id)
{
    std::string path = root_path("/var/run/csmsg") + "/" + std::to_string(app_id) + ".sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        err = "socket path too long: " + path;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = std::string("socket: ") + strerror(errno);
        return false;
    }
    ssize_t n =
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int saved = errno;
    close(fd);
    if (n != ssize_t(datagram.size())) {
        err = "cannot send to " + path + ": " + strerror(saved);
        return false;
    }
    return true;
}
