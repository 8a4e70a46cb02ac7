// Running the simulator (and other tools) as child processes of a test.
#pragma once

#include "fixture/fixture.h"

#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// The build directory (where the zelmo binary is) and its simulator.
inline std::string build_dir()
{
    std::string zelmo = DaemonProcess::binary();
    return zelmo.substr(0, zelmo.rfind('/'));
}
inline std::string gwsim_path()
{
    return build_dir() + "/tools/gwsim/gwsim";
}

// The NUL-terminated text at offset, never read past the end.
inline std::string text_at(const Bytes &b, size_t offset)
{
    if (offset >= b.size())
        return "<past end>";
    return std::string(reinterpret_cast<const char *>(b.data() + offset),
                       strnlen(reinterpret_cast<const char *>(b.data() + offset), b.size() - offset));
}

struct ToolResult {
    int status = -1; // exit status; -1 when killed or not run
    std::string out, err;
};

// Runs argv to its end with the environment plus "NAME=value" overrides.
inline ToolResult run_tool(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                           std::chrono::milliseconds timeout = 30s)
{
    ToolResult r;
    r.status = run_program(argv, &r.out, &r.err, timeout, env).exit_code;
    return r;
}
inline ToolResult run_gwsim(std::vector<std::string> args, const std::vector<std::string> &env = {})
{
    args.insert(args.begin(), gwsim_path());
    return run_tool(args, env);
}

// The daemon's message-service socket, bound by the test to see what a
// simulator sends to the daemon.
class MessageSocket
{
  public:
    MessageSocket()
    {
        std::string path = csmsg_socket_path();
        for (size_t pos = 1; pos < path.size(); ++pos)
            if (path[pos] == '/')
                mkdir(path.substr(0, pos).c_str(), 0755);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path)
            throw std::runtime_error("socket path too long");
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot bind " + path);
    }
    ~MessageSocket() { close(fd_); }
    MessageSocket(const MessageSocket &) = delete;
    MessageSocket &operator=(const MessageSocket &) = delete;
    // One datagram, or nothing after the time-out.
    Bytes receive(std::chrono::milliseconds timeout = 3s)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, int(timeout.count())) != 1)
            return {};
        Bytes b(65536);
        ssize_t n = recv(fd_, b.data(), b.size(), 0);
        b.resize(n > 0 ? size_t(n) : 0);
        return b;
    }

  private:
    int fd_ = -1;
};
