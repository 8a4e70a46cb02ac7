// Helpers of the power-cut and fault-injection tests; see hardening_env.h.
#include "hardening_env.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

constexpr int kNoNamespace = 97;

std::string temp_dir(const char *prefix)
{
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return buf.data();
}

// The current environment with "NAME=value" entries replaced or added.
std::vector<std::string> environment_with(const std::vector<std::string> &extra)
{
    std::map<std::string, std::string> vars;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry = *e;
        vars[entry.substr(0, entry.find('='))] = entry;
    }
    for (const std::string &entry : extra)
        vars[entry.substr(0, entry.find('='))] = entry;
    std::vector<std::string> out;
    for (const auto &[name, entry] : vars)
        out.push_back(entry);
    return out;
}

} // namespace

int run_tool(const std::vector<std::string> &argv)
{
    std::vector<std::string> text = argv;
    std::vector<char *> args;
    for (std::string &a : text)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        out.emplace_back(
            lower(std::string(r.lanHostEntry.MACAddress, strnlen(r.lanHostEntry.MACAddress, 32))),
            std::string(r.lanHostEntry.HostName, strnlen(r.lanHostEntry.HostName, 256)));
    return out;
}

IsolatedDaemon::IsolatedDaemon(const std::string &dir, const std::string &tmpfs_size,
                               const std::vector<std::string> &args, const std::vector<std::string> &env)
    : dir_(dir), log_dir_(temp_dir("zelmo-isolated"))
{
    // Everything the child needs is prepared before the fork: after it, the
    // child only makes system calls.
    const std::string binary = DaemonProcess::binary();
    const std::string out = log_dir_ + "/output";
    const std::string options = "size=" + tmpfs_size + ",mode=0755";
    std::vector<std::string> argv_text{binary};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = environment_with(env);
    std::vector<char *> envp;
    for (std::string &e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0)
            _exit(kNoNamespace);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        int null = open("/dev/null", O_RDONLY);
        if (fd < 0 || null < 0)
            _exit(kNoNamespace);
        dup2(null, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    // A child that cannot make its namespace ends at once.
    available_ = true;
    wait_until([&] { return !running(); }, 300ms);
}

IsolatedDaemon::~IsolatedDaemon()
{
    if (pid_ > 0 && !ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::string out = log_dir_ + "/output";
    unlink(out.c_str());
    rmdir(log_dir_.c_str());
}

bool IsolatedDaemon::running()
{
    if (pid_ <= 0 || ended_)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        ended_ = true;
        if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace)
            available_ = false;
        return false;
    }
    return true;
}

std::string IsolatedDaemon::inside(const std::string &name) const
{
    return "/proc/" + std::to_string(pid_) + "/root" + dir_ + (name.empty() ? "" : "/" + name);
}

std::string IsolatedDaemon::output() const
{
    return read_file(log_dir_ + "/output");
}

bool IsolatedDaemon::wait_for_output(const std::string &text, std::chrono::milliseconds timeout) const
{
    return wait_until([&] { return output().find(text) != std::string::npos; }, timeout, 20ms);
}

GarbageServer::GarbageServer(std::string answer) : answer_(std::move(answer))
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

GarbageServer::~GarbageServer()
{
    stop_ = true;
    thread_.join();
    close(listen_fd_);
}

void GarbageServer::run()
{
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) != 1)
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
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
