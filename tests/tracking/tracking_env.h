// A running zelmo daemon with everything around it: a temporary gateway root,
// a private bus with a recording LAN host daemon, the recording cloud server
// as the configured cloud, and a recording iptables stand-in first in PATH
// (the machine's own packet filter is never touched). Events go in through
// the real message-service socket and the bus; what comes out is read from
// devices.db, the cloud's recorded uploads and the recorded notifications.
#pragma once

#include "cloud/cloud_server.h"
#include "fixture/fixture.h"

#include <cstring>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

const char kHostHeader[] =
    "IPAddress,AddressSource,LeaseTimeRemaining,MACAddress,HostName,InterfaceType,Active,"
    "FriendlyName,Port,Critical,L3Status,InterfaceStatus,RemovalStatus\n";
const char kHostForm[] = "Device.Hosts.Host.{i}.";

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

    explicit TrackingDaemon(std::vector<std::string> args = {"-a", "600"})
    {
        gw.write_device_info("A1B2C3", "XS-010", "SN0001");
        gw.write_wifi_mode("RGW");
        gw.write_http_profile(cloud.url());
        tools.add("iptables");
        args.insert(args.begin(), {"-d", "1"});
        zelmo = std::make_unique<DaemonProcess>(args, std::vector<std::string>{tools.path_env()});
        ready = wait_until([] { return file_exists(csmsg_socket_path()); }, 5000ms) &&
                zelmo->wait_for_output("Waiting for msg in main thread", 5000ms);
    }
    bool ready = false;

    ~TrackingDaemon()
    {
        // A failing test shows the end of what the daemon logged.
        if (::testing::Test::HasFailure() && zelmo) {
            std::string log = zelmo->stderr_text();
            std::cerr << "---- zelmo log (end) ----\n"
                      << (log.size() > 12000 ? log.substr(log.size() - 12000) : log) << "\n";
        }
    }

    // --- events in
    bool host(const LanHostEntryObject &entry, uint32_t action, const std::string &l3 = "Reachable",
              const std::string &ifstatus = "Associated", uint32_t ssid = 0)
    {
        return send_message(make_host_update_message(entry, action, l3, ifstatus, ssid));
    }
    bool fingerprint(uint32_t objtype, const std::string &mac, const void *description, size_t size,
                     uint32_t action = STATUS_ACTIVE)
    {
        DeviceUpdateMessage m = make_device_update_message(objtype, action, mac);
        memcpy(m.payload.description.raw, description, std::min(size, sizeof m.payload.description.raw));
        return send_message(m);
    }
    // Opens a cloud session the way the configuration manager does.
    bool open_session()
    {
        size_t before = zelmo->count_output("cloud session start received");
        return client.emit_signal("arvex.cfgmgr", "notifySessionStart",
                                  to_bytes(std::string("Session_START") + '\0')) &&
               logged("cloud session start received", before + 1);
    }
    // Makes uploads possible again after a failed one (port statistics signal).
    bool reachable_again()
    {
        size_t before = zelmo->count_output("zelmo_notifyStatsEthPortUpdate Received");
        return client.emit_signal("arvex.statscollector", "notifyStatsEthPortUpdate",
                                  to_bytes(std::string("x"))) &&
               logged("zelmo_notifyStatsEthPortUpdate Received", before + 1);
    }
    // Points the cloud profile at a port where nobody listens (uploads fail), or back.
    void cloud_down() { gw.write_http_profile("http://127.0.0.1:9/report"); }
    void cloud_up() { gw.write_http_profile(cloud.url()); }

    // --- waiting for the daemon
    // Returns once every message sent before has been handled completely
    // (its final save included): the main thread handles one message-service
    // message at a time, so the start of this no-op's handling marks the end
    // of everything before it.
    bool settle()
    {
        const char marker[] = "objtype = 0 action = 7";
        size_t before = log_count(marker);
        return send_message(make_device_update_message(0, 7, "")) && logged_raw(marker, before + 1);
    }
    bool notified(const std::string &member, size_t count)
    {
        return lanhost.wait_for(member, count, 5000ms) && settle();
    }
    bool logged(const std::string &text, size_t count) { return logged_raw(text, count) && settle(); }
    bool logged_raw(const std::string &text, size_t count) const
    {
        return zelmo->wait_for_output(text, 5000ms, count);
    }
    size_t log_count(const std::string &text) const { return zelmo->count_output(text); }

    // --- results
    std::optional<DeviceRecord> record(const std::string &mac) const
    {
        DbImage db = parse_db(gw.read_db());
        for (const DeviceRecord &r : db.records)
            if (strcasecmp(r.lanHostEntry.MACAddress, mac.c_str()) == 0)
                return r;
        return std::nullopt;
    }
    size_t record_count() const { return parse_db(gw.read_db()).records.size(); }
    // The record image of the n-th notification of that member.
    std::optional<DeviceRecord> notified_record(const std::string &member, size_t n) const
    {
        auto calls = lanhost.calls(member);
        if (n >= calls.size() || calls[n].bytes().size() != 4 + DEVICE_RECORD_SIZE + 5)
            return std::nullopt;
        DeviceRecord r;
        memcpy(&r, calls[n].bytes().data() + 4, sizeof r);
        return r;
    }
    // Every uploaded report part, in order: (form name, CSV text).
    std::vector<std::pair<std::string, std::string>> uploads() const
    {
        std::vector<std::pair<std::string, std::string>> out;
        for (const RecordedRequest &r : cloud.requests())
            for (const RecordedPart &p : r.parts)
                if (p.name != "Healthcheck") // the health check thread's probes, on their own clock
                    out.emplace_back(p.name, p.data);
        return out;
    }
    size_t notifications(const std::string &member) const { return lanhost.calls(member).size(); }
};

// A host row as the host form builder writes it.
inline std::string host_row(const LanHostEntryObject &e, const char *active, const std::string &port,
                            const std::string &l3, const std::string &ifstatus)
{
    return std::string(e.IPAddress) + "," + (e.AddressSource[0] ? e.AddressSource : "Static") + "," +
           std::to_string(e.LeaseTimeRemaining.get()) + "," + e.MACAddress + "," + e.HostName + "," +
           e.InterfaceType + "," + active + "," + e.FriendlyName + "," + port + ",0," + l3 + "," + ifstatus +
           ",0";
}
