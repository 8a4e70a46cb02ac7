#include "frame/http_sink.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

HttpSink::HttpSink()
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        pipe2(stop_pipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

HttpSink::~HttpSink()
{
    ssize_t ignored = write(stop_pipe_[1], "x", 1);
    (void)ignored;
    thread_.join();
    close(listener_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
}

std::string HttpSink::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> HttpSink::request_lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void HttpSink::serve()
{
    for (;;) {
        pollfd set[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(set, 2, -1) < 0)
            continue;
        if (set[1].revents != 0)
            return;
        int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            answer(connection);
            close(connection);
        }
    }
}

// Reads the head and the body announced by Content-Length, then answers.
void HttpSink::answer(int connection)
{
    std::string request;
    char buffer[4096];
    size_t head_end = std::string::npos;
    size_t wanted = 0;
    for (;;) {
        pollfd p{connection, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1)
            return;
        ssize_t n = read(connection, buffer, sizeof buffer);
        if (n <= 0)
            return;
        request.append(buffer, size_t(n));
        if (head_end == std::string::npos) {
            head_end = request.find("\r\n\r\n");
            if (head_end == std::string::npos)
                continue;
            size_t at = request.find("Content-Length: ");
            wanted = at != std::string::npos && at < head_end
                         ? strtoul(request.c_str() + at + 16, nullptr, 10)
                         : 0;
        }
        if (request.size() >= head_end + 4 + wanted)
            break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(request.substr(0, request.find("\r\n")));
    }
    static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ssize_t ignored = write(connection, reply, sizeof reply - 1);
    (void)ignored;
}
