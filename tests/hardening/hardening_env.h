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

// The record's MAC address in lower case.
inline std::string record_mac(const DeviceRecord &r)
{
    return lower(std::string(r.lanHostEntry.MACAddress, strnlen(r.lanHostEntry.MACAddress, 32)));
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

// The gateway every fault test starts from: a temporary root in root mode
// with the identity "A1B2C3" / "XS-010" / "SN 0001", a private bus, the
// recording LAN host daemon and a recording iptables stand-in (exit 0).
class HardeningTest : public ::testing::Test
{
  protected:
    HardeningTest();
    GatewayRoot root;
    PrivateBus bus;
    RecordingLanHost lanhost;
    ToolStandIns tools;
};

// Waits until the daemon's bus thread serves its method interface, which
// it does only after its signal subscriptions are in place.
bool wait_bus_service(std::chrono::milliseconds timeout);

// The host names of the records of a database image, by MAC address (lower case).
std::vector<std::pair<std::string, std::string>> stored_hosts(const Bytes &image);

// The zelmo binary in a mount namespace of its own (unshare(1); the shell
// it starts mounts a tmpfs of the given size on `dir`, which must exist, and
// then becomes the daemon). The namespace's files are reached from outside
// through /proc/<pid>/root. Needs root; available() is false when the
// namespace or the mount could not be made (the test then skips).
class IsolatedDaemon
{
  public:
    IsolatedDaemon(const std::string &dir, const std::string &tmpfs_size,
                   const std::vector<std::string> &args, const std::vector<std::string> &env);
    bool available();
    bool running() { return process_.running(); }
    // "<dir>/<name>" as seen inside the daemon's namespace.
    std::string inside(const std::string &name) const;
    std::string output() const { return process_.output(); } // standard output and error so far
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout) const
    {
        return process_.wait_for_output(text, timeout);
    }

  private:
    std::string dir_;
    DaemonProcess process_;
};

// A TCP port on 127.0.0.1: listening (connections complete but are never
// accepted unless a server does) or only bound (connections are refused).
struct LoopbackPort {
    explicit LoopbackPort(bool listening);
    ~LoopbackPort();
    LoopbackPort(const LoopbackPort &) = delete;
    LoopbackPort &operator=(const LoopbackPort &) = delete;
    int fd = -1;
    int port = 0;
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
    int port() const { return listener_.port; }
    int connections() const { return connections_; }

  private:
    void run();
    std::string answer_;
    LoopbackPort listener_{true};
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
