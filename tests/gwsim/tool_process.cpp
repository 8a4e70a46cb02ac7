#include "tool_process.h"

#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

MessageSocket::MessageSocket()
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
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot bind " + path);
}

MessageSocket::~MessageSocket()
{
    close(fd_);
}

Bytes MessageSocket::receive(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) != 1)
        return {};
    Bytes b(65536);
    ssize_t n = recv(fd_, b.data(), b.size(), 0);
    b.resize(n > 0 ? size_t(n) : 0);
    return b;
}
