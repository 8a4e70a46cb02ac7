// A running zelmo on a temporary gateway root and a private bus, with the
// recording LAN host daemon, cloud server and iptables around it.
#pragma once

#include "cloud/cloud.h"
#include "fixture/cloud_server.h"
#include "fixture/fixture.h"

#include <cstring>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <optional>
#include <strings.h>

const std::string kHostHeader = std::string(CLOUD_HEADER_HOST) + "\n";

class TrackingDaemon
{
  public:
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    CloudServer cloud;
    ToolStandIns tools;
    BusClient client;
    std::unique_ptr<DaemonProcess> zelmo;
    bool ready = false;

    // A table to start from and environment entries for the daemon may be given.
    explicit TrackingDaemon(const std::vector<DeviceRecord> &table = {},
                            const std::vector<std::string> &env = {})
    {
        gw.write_wifi_mode("RGW");
        cloud_up();
        tools.add("iptables");
        if (!table.empty())
            gw.write_db(table);
        std::vector<std::string> daemon_env{tools.path_env()};
        daemon_env.insert(daemon_env.end(), env.begin(), env.end());
        zelmo = std::make_unique<DaemonProcess>(std::vector<std::string>{"-d", "1", "-a", "600"}, daemon_env);
        // Ready when the main loop waits and the bus thread answers a ping,
        // which it does only once its signal subscriptions are in place.
        ready = zelmo->wait_for_output("Waiting for msg in main thread", 5000ms) &&
                wait_until(
                    [&] {
                        return client
                            .call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "org.freedesktop.DBus.Peer", "Ping",
                                  {}, 1000ms)
                            .ok;
                    },
                    5000ms, 20ms);
    }
    ~TrackingDaemon()
    {
        if (::testing::Test::HasFailure()) { // show the end of the daemon's log
            std::string log = zelmo->stderr_text();
            std::cerr << log.substr(log.size() > 12000 ? log.size() - 12000 : 0) << "\n";
        }
    }

    bool host(const LanHostEntryObject &e, uint32_t action, const std::string &l3 = "Reachable",
              const std::string &ifstatus = "Associated", uint32_t ssid = 0)
    {
        return send_message(make_host_update_message(e, action, l3, ifstatus, ssid));
    }
    template <typename T> bool fingerprint(uint32_t objtype, unsigned n, const T &desc, uint32_t action = 1)
    {
        DeviceUpdateMessage m = make_device_update_message(objtype, action, test_mac(n));
        memcpy(m.payload.description.raw, &desc, std::min(sizeof desc, sizeof m.payload.description.raw));
        return send_message(m);
    }
    // Returns once everything sent before is handled, final save included: the
    // main thread takes one message-service message at a time, so the start
    // of this no-op marks the end of all before it.
    bool settle()
    {
        size_t before = zelmo->count_output("objtype = 0 action = 7");
        return send_message(make_device_update_message(0, 7, "")) &&
               zelmo->wait_for_output("objtype = 0 action = 7", 5000ms, before + 1);
    }
    bool notified(const std::string &member, size_t count)
    {
        return lanhost.wait_for(member, count, 5000ms) && settle();
    }
    bool logged(const std::string &text, size_t count)
    {
        return zelmo->wait_for_output(text, 5000ms, count) && settle();
    }
    size_t notifications(const std::string &member) const { return lanhost.calls(member).size(); }
    bool signal(const char *interface, const char *member, const std::string &text, const char *log_text)
    {
        size_t before = zelmo->count_output(log_text);
        return client.emit_signal(interface, member, to_bytes(text + '\0')) && logged(log_text, before + 1);
    }
    // The port statistics signal makes uploads possible again after a failed one.
    bool reachable_again()
    {
        return signal("arvex.statscollector", "notifyStatsEthPortUpdate", "",
                      "notifyStatsEthPortUpdate Received");
    }
    void cloud_down() { gw.write_http_profile("http://127.0.0.1:9/report"); } // nobody listens there
    void cloud_up() { gw.write_http_profile(cloud.url()); }

    std::optional<DeviceRecord> record(unsigned n) const
    {
        for (const DeviceRecord &r : parse_db(gw.read_db()).records)
            if (strcasecmp(r.lanHostEntry.MACAddress, test_mac(n).c_str()) == 0)
                return r;
        return std::nullopt;
    }
    // The record image of the i-th notification of a member.
    DeviceRecord notified_record(const std::string &member, size_t i) const
    {
        DeviceRecord r{};
        const Bytes b = lanhost.calls(member).at(i).bytes();
        if (b.size() == 4 + sizeof r + 5)
            memcpy(&r, b.data() + 4, sizeof r);
        return r;
    }
    // Every uploaded report part in order: (form name, CSV text).
    std::vector<std::pair<std::string, std::string>> uploads() const
    {
        std::vector<std::pair<std::string, std::string>> out;
        for (const RecordedRequest &r : cloud.requests())
            for (const RecordedPart &p : r.parts)
                if (p.name != "Healthcheck") // the health check thread's probes, on their own clock
                    out.emplace_back(p.name, p.data);
        return out;
    }
    std::string last_upload() const { return uploads().empty() ? "" : uploads().back().second; }
};

inline LanHostEntryObject lanhost_entry(unsigned n, const std::string &interface_type = "Ethernet")
{
    return make_lanhost(test_mac(n), "192.168.1." + std::to_string(n), "host" + std::to_string(n),
                        interface_type);
}

inline std::string host_form(const LanHostEntryObject &e, const char *active, const std::string &port = "",
                             const std::string &l3 = "Reachable", const std::string &ifstatus = "Associated")
{
    return kHostHeader + e.IPAddress + "," + (e.AddressSource[0] ? e.AddressSource : "Static") + "," +
           std::to_string(e.LeaseTimeRemaining.get()) + "," + e.MACAddress + "," + e.HostName + "," +
           e.InterfaceType + "," + active + "," + e.FriendlyName + "," + port + ",0," + l3 + "," + ifstatus +
           ",0";
}

// Status, HostState and DeviceState of a record.
inline std::vector<int32_t> states(const std::optional<DeviceRecord> &r)
{
    if (!r)
        return {};
    return {r->Status.get(), r->HostState.get(), r->DeviceState.get()};
}
