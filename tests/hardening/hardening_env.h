// Helpers of the power-cut and fault-injection tests.
#pragma once

#include "fixture/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

using Hosts = std::vector<std::pair<std::string, std::string>>;

// The record's MAC address in lower case.
inline std::string record_mac(const DeviceRecord &r)
{
    std::string mac(r.lanHostEntry.MACAddress, strnlen(r.lanHostEntry.MACAddress, 32));
    std::transform(mac.begin(), mac.end(), mac.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return mac;
}

// (MAC address in lower case, host name) of every record of a database image.
Hosts stored_hosts(const Bytes &image);

// True when the database holds the host (test_mac(host)) with that host name.
inline bool holds(const GatewayRoot &root, unsigned host, const std::string &hostname)
{
    const Hosts hosts = stored_hosts(root.read_db());
    return std::find(hosts.begin(), hosts.end(), std::make_pair(test_mac(host), hostname)) != hosts.end();
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

// The gateway every fault test starts from: root mode, the identity
// "A1B2C3" / "XS-010" / "SN 0001" and a recording iptables stand-in (exit 0).
void prepare_gateway(const GatewayRoot &root, ToolStandIns &tools);

// That gateway with a private bus and the recording LAN host daemon.
class HardeningTest : public ::testing::Test
{
  protected:
    HardeningTest() { prepare_gateway(root, tools); }
    GatewayRoot root;
    PrivateBus bus;
    RecordingLanHost lanhost;
    ToolStandIns tools;
};

// Waits until the daemon's bus thread serves its method interface, which
// it does only after its signal subscriptions are in place.
bool wait_bus_service(std::chrono::milliseconds timeout);
