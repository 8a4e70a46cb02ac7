// A cloud that refuses connections, answers garbage, speaks no TLS or hangs:
// each upload that does not complete leaves its host Reporting, the daemon
// logs the transfer error and keeps running, and no change is lost, not
// even those that arrive while an upload hangs. The cloud profile is read
// before every upload, so one daemon meets every kind of cloud in turn.
#include "hardening_env.h"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

std::string local_url(const char *scheme, int port)
{
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/report";
}

// A TCP port on 127.0.0.1: listening (connections complete but are never
// accepted unless a server does) or only bound (connections are refused).
struct LoopbackPort {
    explicit LoopbackPort(bool listening) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            (listening && listen(fd, 16) != 0) ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            throw std::runtime_error("cannot bind on 127.0.0.1");
        port = ntohs(addr.sin_port);
    }
    ~LoopbackPort() { close(fd); }
    LoopbackPort(const LoopbackPort &) = delete;
    LoopbackPort &operator=(const LoopbackPort &) = delete;
    int fd = -1;
    int port = 0;
};

// A TCP server on 127.0.0.1 that answers every connection with fixed bytes,
// on a thread of its own.
class GarbageServer
{
  public:
    explicit GarbageServer(std::string answer) : answer_(std::move(answer)), thread_([this] { run(); }) {}
    ~GarbageServer()
    {
        stop_ = true;
        thread_.join();
    }
    int port() const { return listener_.port; }
    int connections() const { return connections_; }

  private:
    void run()
    {
        while (!stop_) {
            pollfd p{listener_.fd, POLLIN, 0};
            int fd = poll(&p, 1, 50) == 1 ? accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (fd < 0)
                continue;
            ++connections_;
            // Read what the client sends first (its request head), then answer.
            char buf[4096];
            pollfd c{fd, POLLIN, 0};
            if (poll(&c, 1, 1000) == 1)
                (void)!read(fd, buf, sizeof buf);
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
    std::string answer_;
    LoopbackPort listener_{true};
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

using FaultCloud = HardeningTest;

TEST_F(FaultCloud, FailingCloudsLeaveHostsReportingAndLoseNothing)
{
    DaemonProcess zelmo({"-d", "1"}, {tools.path_env()});
    ASSERT_TRUE(wait_bus_service(10000ms)) << zelmo.stderr_text();
    BusClient client;
    unsigned host = 0;
    // Points the profile at url and restores reachability (the port
    // statistics signal), as a failed upload clears it.
    auto use_cloud = [&](const std::string &url) {
        root.write_http_profile(url);
        const size_t signals = zelmo.count_output("notifyStatsEthPortUpdate Received");
        client.emit_signal("arvex.statscollector", "notifyStatsEthPortUpdate", {0});
        return zelmo.wait_for_output("notifyStatsEthPortUpdate Received", 5000ms, signals + 1);
    };
    // The HostState a new host gets with the cloud at url.
    auto new_host_state = [&](const std::string &url) {
        EXPECT_TRUE(use_cloud(url));
        const std::string mac = test_mac(++host);
        EXPECT_TRUE(send_host_update(host, "host" + std::to_string(host)));
        int32_t state = -1;
        wait_until(
            [&] {
                for (const DeviceRecord &r : parse_db(root.read_db()).records)
                    if (record_mac(r) == mac)
                        state = r.HostState.get();
                return state != -1;
            },
            30000ms, 20ms);
        return state;
    };

    {
        LoopbackPort refusing(false); // bound, never listened on
        EXPECT_EQ(new_host_state(local_url("http", refusing.port)), REPORT_REPORTING);
        EXPECT_TRUE(zelmo.wait_for_output("curl_easy_perform() failed", 2000ms));
    }
    {
        static const char kNoHttp[] = "\x16\x03\x01 no HTTP at all \r\n\r\n\x7f\xff";
        GarbageServer garbage(std::string(kNoHttp, sizeof kNoHttp - 1));
        EXPECT_EQ(new_host_state(local_url("http", garbage.port())), REPORT_REPORTING);
        EXPECT_EQ(new_host_state(local_url("https", garbage.port())), REPORT_REPORTING);
        EXPECT_GE(garbage.connections(), 1);
    }
    {
        // Any completed answer counts as delivered, whatever its body.
        GarbageServer answered(
            "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\n\x01\x02\x03junk\xff");
        EXPECT_EQ(new_host_state(local_url("http", answered.port())), REPORT_REPORTED);
    }
    {
        // A hanging cloud holds the main thread up to the 20-second limit;
        // the updates that arrive meanwhile are handled afterwards.
        LoopbackPort silent(true); // connections complete, nothing is ever answered
        ASSERT_TRUE(use_cloud(local_url("http", silent.port)));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(send_host_update(++host, "hung"));
        std::this_thread::sleep_for(500ms);
        for (unsigned extra = 0; extra < 3; ++extra)
            ASSERT_TRUE(send_host_update(++host, "queued"));
        EXPECT_TRUE(zelmo.wait_for_output("Timeout was reached", 30000ms)) << zelmo.stderr_text();
        EXPECT_GE(std::chrono::steady_clock::now() - start, 19s);
        EXPECT_TRUE(wait_until([&] { return stored_hosts(root.read_db()).size() == host; }, 10000ms));
    }
    // Every host is stored, with the state its upload earned.
    std::vector<int32_t> states;
    for (const DeviceRecord &r : parse_db(root.read_db()).records)
        states.push_back(r.HostState.get());
    EXPECT_EQ(states,
              (std::vector<int32_t>{REPORT_REPORTING, REPORT_REPORTING, REPORT_REPORTING, REPORT_REPORTED,
                                    REPORT_REPORTING, REPORT_REPORTING, REPORT_REPORTING, REPORT_REPORTING}));
    EXPECT_TRUE(zelmo.running());
}
