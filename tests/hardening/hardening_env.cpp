// Helpers of the power-cut and fault-injection tests; see hardening_env.h.
#include "hardening_env.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

// Exit status of an isolated daemon that could not make its namespace.
constexpr int kNoNamespace = 97;

HardeningTest::HardeningTest()
{
    tools.add("iptables");
    root.write_wifi_mode("RGW");
    root.write_device_info("A1B2C3", "XS-010", "SN 0001");
}

bool wait_bus_service(std::chrono::milliseconds timeout)
{
    BusClient client;
    return wait_until(
        [&] {
            return client
                .call_bytes_u32("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "arvex.kvx.zelmo",
                                "notifyDeviceCategoryInfo", {1}, 1, 500ms)
                .ok;
        },
        timeout, 100ms);
}

std::vector<std::pair<std::string, std::string>> stored_hosts(const Bytes &image)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const DeviceRecord &r : parse_db(image).records)
        out.emplace_back(record_mac(r),
                         std::string(r.lanHostEntry.HostName, strnlen(r.lanHostEntry.HostName, 256)));
    return out;
}

namespace
{

std::vector<std::string> isolated_args(const std::string &dir, const std::string &tmpfs_size,
                                       const std::vector<std::string> &args)
{
    std::vector<std::string> out{"--mount",
                                 "sh",
                                 "-c",
                                 "mount -t tmpfs -o \"size=$1,mode=0755\" tmpfs \"$2\" || exit " +
                                     std::to_string(kNoNamespace) + "; shift 2; exec \"$@\"",
                                 "sh",
                                 tmpfs_size,
                                 dir,
                                 DaemonProcess::binary()};
    out.insert(out.end(), args.begin(), args.end());
    return out;
}

} // namespace

IsolatedDaemon::IsolatedDaemon(const std::string &dir, const std::string &tmpfs_size,
                               const std::vector<std::string> &args, const std::vector<std::string> &env)
    : dir_(dir), process_(isolated_args(dir, tmpfs_size, args), env, "unshare")
{
    // A child that cannot make its namespace ends at once.
    wait_until([&] { return !running(); }, 300ms);
}

bool IsolatedDaemon::available()
{
    return running() || process_.wait_exit(0ms).exit_code != kNoNamespace;
}

std::string IsolatedDaemon::inside(const std::string &name) const
{
    return "/proc/" + std::to_string(process_.pid()) + "/root" + dir_ + (name.empty() ? "" : "/" + name);
}

LoopbackPort::LoopbackPort(bool listening)
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (listening && listen(fd, 16) != 0) || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("cannot bind on 127.0.0.1");
    port = ntohs(addr.sin_port);
}

LoopbackPort::~LoopbackPort()
{
    close(fd);
}

GarbageServer::GarbageServer(std::string answer) : answer_(std::move(answer))
{
    thread_ = std::thread([this] { run(); });
}

GarbageServer::~GarbageServer()
{
    stop_ = true;
    thread_.join();
}

void GarbageServer::run()
{
    while (!stop_) {
        pollfd p{listener_.fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1)
            continue;
        int fd = accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections_;
        // Read what the client sends first (its request head), then answer.
        char buf[4096];
        pollfd c{fd, POLLIN, 0};
        if (poll(&c, 1, 1000) == 1)
            (void)!read(fd, buf, sizeof buf);
        if (!answer_.empty())
            (void)!write(fd, answer_.data(), answer_.size());
        // Half-close and drain: closing with unread request bytes would
        // reset the connection before the client read the answer.
        shutdown(fd, SHUT_WR);
        for (int i = 0; i < 20 && poll(&c, 1, 50) >= 0; ++i)
            if ((c.revents & POLLIN) != 0 && read(fd, buf, sizeof buf) <= 0)
                break;
        close(fd);
    }
}
