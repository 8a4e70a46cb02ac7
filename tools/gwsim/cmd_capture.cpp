// "gwsim capture": the gateway's capture service. Each diverted web request
// is answered, and its User-Agent is sent to the daemon as an HTTP
// fingerprint message, with the client's MAC address taken from the
// neighbour (ARP) table by the request's source address.
#include "args.h"
#include "commands.h"
#include "store.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr size_t kMaxRequest = 8192;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// The MAC of a complete entry of the kernel's ARP table for the address.
std::string arp_lookup(const std::string &ip, const std::string &iface)
{
    FILE *f = fopen("/proc/net/arp", "re");
    if (f == nullptr)
        return "";
    char line[512];
    std::string found;
    if (fgets(line, sizeof line, f) != nullptr) { // header
        while (fgets(line, sizeof line, f) != nullptr) {
            char addr[64], hw[64], dev[64];
            unsigned type = 0, flags = 0;
            if (sscanf(line, "%63s 0x%x 0x%x %63s %*s %63s", addr, &type, &flags, hw, dev) != 5)
                continue;
            if (ip == addr && (flags & 0x2) && (iface.empty() || iface == dev) && mac_valid(hw) &&
                strcmp(hw, "00:00:00:00:00:00") != 0) {
                found = hw;
                break;
            }
        }
    }
    fclose(f);
    return found;
}

// Reads the request head (up to the empty line) within the size limit.
std::string read_head(int fd)
{
    std::string head;
    char buf[1024];
    while (head.size() < kMaxRequest && head.find("\r\n\r\n") == std::string::npos &&
           head.find("\n\n") == std::string::npos) {
        ssize_t n = recv(fd, buf, std::min(sizeof buf, kMaxRequest - head.size()), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        head.append(buf, size_t(n));
    }
    return head;
}

// The value of the User-Agent header (name matched without regard to case).
std::string user_agent(const std::string &head)
{
    size_t pos = head.find('\n');
    while (pos != std::string::npos) {
        size_t start = pos + 1;
        size_t end = head.find('\n', start);
        std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        size_t colon = line.find(':');
        if (colon != std::string::npos && strncasecmp(line.c_str(), "User-Agent", colon) == 0 &&
            colon == 10) {
            size_t v = line.find_first_not_of(" \t", colon + 1);
            return v == std::string::npos ? "" : line.substr(v);
        }
        pos = end;
    }
    return "";
}

// Printable form of outside text for the log line.
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text)
        out += (c >= 0x20 && c < 0x7f) ? char(c) : '?';
    return out;
}

void serve(int client, const std::string &ip, const std::map<std::string, std::string> &neigh,
           const std::string &iface, const std::string &vendor)
{
    timeval tv{2, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string head = read_head(client);
    std::string ua = user_agent(head);
    const std::string body = "captured by the gateway\n";
    const std::string answer =
        "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    ssize_t ignored = send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    (void)ignored;

    auto it = neigh.find(ip);
    std::string mac = it != neigh.end() ? it->second : arp_lookup(ip, iface);
    if (ua.empty()) {
        out_line("capture: %s %s without User-Agent; nothing sent", ip.c_str(), mac.c_str());
        return;
    }
    if (mac.empty()) {
        out_line("capture: %s User-Agent \"%s\": no MAC address known; nothing sent", ip.c_str(),
                 printable(ua).c_str());
        return;
    }
    DeviceUpdateMessage m = fingerprint_message(FP_HTTP, STATUS_ACTIVE, mac);
    set_http(m.payload, vendor, ua);
    std::string err;
    if (!csmsg_send(bytes_of(m), err)) {
        out_line("capture: %s %s User-Agent \"%s\": %s", ip.c_str(), mac.c_str(), printable(ua).c_str(),
                 err.c_str());
        return;
    }
    out_line("capture: %s %s User-Agent \"%s\" -> HTTP fingerprint sent", ip.c_str(), mac.c_str(),
             printable(ua).c_str());
}

} // namespace

int cmd_capture(int argc, char **argv)
{
    Args a;
    uint32_t port = 0;
    if (!a.parse(argc, argv, 0) || !a.only({"port", "bind", "neigh", "iface", "vendor", "log"}) ||
        !a.positional().empty() || !a.get_u32("port", 8001, port) || port > 65535)
        return fail(2, "capture: %s", a.error().empty() ? "bad arguments" : a.error().c_str());
    std::map<std::string, std::string> neigh;
    for (const std::string &pair : a.all("neigh")) {
        size_t eq = pair.find('=');
        if (eq == std::string::npos || !mac_valid(pair.substr(eq + 1)))
            return fail(2, "capture: --neigh wants IP=MAC: %s", pair.c_str());
        neigh[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    set_log_file(a.get("log").c_str());
    install_stop_handlers();

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, a.get("bind", "0.0.0.0").c_str(), &addr.sin_addr) != 1)
        return fail(2, "capture: bad --bind address");
    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener.fd < 0 || bind(listener.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener.fd, 16) != 0)
        return fail(1, "capture: cannot listen on %s:%u: %s", a.get("bind", "0.0.0.0").c_str(), port,
                    strerror(errno));
    socklen_t len = sizeof addr;
    getsockname(listener.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    out_line("capture: listening on %s:%u", a.get("bind", "0.0.0.0").c_str(), unsigned(ntohs(addr.sin_port)));

    while (!g_stop) {
        pollfd p{listener.fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        Fd client(accept4(listener.fd, reinterpret_cast<sockaddr *>(&peer), &plen, SOCK_CLOEXEC));
        if (client.fd < 0)
            continue;
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        serve(client.fd, ip, neigh, a.get("iface"), a.get("vendor"));
    }
    out_line("capture: stopped");
    return 0;
}
