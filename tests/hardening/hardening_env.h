// Helpers of the power-cut and fault-injection tests.
#pragma once

#include "fixture/fixture.h"

#include "devtable/device_record.h"
#include "platform/csmsg.h"
#include "tracking/tracking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

inline std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// The last bytes of a text (the end of a daemon's output in a failure message).
inline std::string tail(const std::string &text, size_t bytes)
{
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

// A number from the environment (to lengthen a run by hand), or the default.
inline int env_number(const char *name, int fallback)
{
    const char *v = getenv(name);
    return v != nullptr && v[0] != '\0' ? atoi(v) : fallback;
}

// True when this test program (and so the daemon beside it) is built with AddressSanitizer.
constexpr bool built_with_asan()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

// A host update of the message service for a new or known Ethernet host.
inline bool send_host_update(unsigned host, const std::string &hostname, uint32_t action = STATUS_ACTIVE)
{
    LanHostEntryObject entry =
        make_lanhost(test_mac(host), "192.168.1." + std::to_string(host), hostname, "Ethernet", host);
    return send_message(make_host_update_message(entry, action, action == STATUS_ACTIVE ? "Reachable" : "",
                                                 action == STATUS_ACTIVE ? "Associated" : ""));
}

// Runs a program with an argument vector (found through PATH) and waits
// for it; its exit status, or -1.
int run_tool(const std::vector<std::string> &argv);

// Waits until the daemon's bus thread serves its method interface, which
// it does only after its signal subscriptions are in place.
bool wait_bus_service(std::chrono::milliseconds timeout);

// The host names of the records of a database image, by MAC address (lower case).
std::vector<std::pair<std::string, std::string>> stored_hosts(const Bytes &image);

// The zelmo binary in a mount namespace of its own, with a tmpfs of the
// given size mounted on `dir` (which must exist) before it starts. The
// namespace's files are reached from outside through /proc/<pid>/root.
// Needs root; available() is false when the namespace or the mount could
// not be made (the test then skips).
class IsolatedDaemon
{
  public:
    IsolatedDaemon(const std::string &dir, const std::string &tmpfs_size,
                   const std::vector<std::string> &args, const std::vector<std::string> &env);
    ~IsolatedDaemon();
    IsolatedDaemon(const IsolatedDaemon &) = delete;
    IsolatedDaemon &operator=(const IsolatedDaemon &) = delete;

    bool available() const { return available_; }
    bool running();
    // "<dir>/<name>" as seen inside the daemon's namespace.
    std::string inside(const std::string &name) const;
    std::string output() const; // standard output and error so far
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout) const;

  private:
    pid_t pid_ = -1;
    bool available_ = false;
    bool ended_ = false;
    std::string dir_, log_dir_;
};

// A TCP server on 127.0.0.1 that answers every connection with fixed bytes
// (or with nothing, closing at once), on a thread of its own.
class GarbageServer
{
  public:
    explicit GarbageServer(std::string answer);
    ~GarbageServer();
    GarbageServer(const GarbageServer &) = delete;
    GarbageServer &operator=(const GarbageServer &) = delete;
    int port() const { return port_; }
    int connections() const { return connections_; }

  private:
    void run();
    std::string answer_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
