// The stored device table as aligned rows (`zelmo show`) or JSON (`zelmo
// show --json`, GetDevices on the bus).
#include "diag/show.h"
#include "devtable/devtable.h"
#include "diag/json_text.h"
#include "frame/frame.h"
#include "platform/root.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

namespace
{

std::string rfc3339(int64_t seconds, int64_t usec)
{
    time_t t = time_t(seconds);
    tm utc{};
    char text[64] = "";
    if (gmtime_r(&t, &utc) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc) == 0)
        return "";
    std::string out = text;
    if (usec > 0 && usec < 1000000) {
        char fraction[16];
        snprintf(fraction, sizeof fraction, ".%06d", int(usec));
        out += fraction;
    }
    return out + "Z";
}

Json upnp_json(const UPnPData &d)
{
    return {{"DeviceType", json_text(d.DeviceType)},        {"Manufacturer", json_text(d.Manufacturer)},
            {"ModelName", json_text(d.ModelName)},          {"ModelNumber", json_text(d.ModelNumber)},
            {"SerialNumber", json_text(d.SerialNumber)},    {"UDN", json_text(d.UDN)},
            {"AdditionalInfo", json_text(d.AdditionalInfo)}};
}

Json mdns_json(const MDNSData &d)
{
    return {{"Manufacturer", json_text(d.Manufacturer)},
            {"Model", json_text(d.Model)},
            {"UUID", json_text(d.UUID)}};
}

Json http_json(const HTTPData &d)
{
    return {{"VendorID", json_text(d.VendorID)}, {"UserAgent", json_text(d.UserAgent)}};
}

// The fingerprint data of the record's type; null for a type without data.
Json fingerprint_json(const DeviceRecord &r)
{
    switch (r.FingerprintType.get()) {
    case FP_UPNP:
        return upnp_json(r.fingerprintData.upnp);
    case FP_MDNS:
        return mdns_json(r.fingerprintData.mdns);
    case FP_HTTP:
        return http_json(r.fingerprintData.http);
    default:
        return nullptr;
    }
}

Json lanhost_json(const LanHostEntryObject &e)
{
    Json instance = Json::array();
    for (const le_u32 &n : e.instanceId.inst)
        instance.push_back(n.get());
    return {{"ObjectId", e.ObjectId.get()},
            {"InstanceDepth", e.instanceId.depth},
            {"Instance", instance},
            {"IPAddress", json_text(e.IPAddress)},
            {"AddressSource", json_text(e.AddressSource)},
            {"LeaseTimeRemaining", e.LeaseTimeRemaining.get()},
            {"MACAddress", json_text(e.MACAddress)},
            {"VendorClassID", json_text(e.VendorClassID)},
            {"HostName", json_text(e.HostName)},
            {"InterfaceType", json_text(e.InterfaceType)},
            {"HostActive", e.HostActive.get()},
            {"FriendlyName", json_text(e.FriendlyName)},
            {"GuestDevice", json_text(e.GuestDevice)},
            {"BehindQuillo", e.BehindQuillo.get()}};
}

Json record_json(const DeviceRecord &r)
{
    return {{"DeviceState", r.DeviceState.get()},
            {"DeviceStateName", report_state_name(r.DeviceState.get())},
            {"Status", r.Status.get()},
            {"StatusName", status_name(r.Status.get())},
            {"LastReportedTimeSec", r.LastReportedTimeSec.get()},
            {"LastReportedTimeUsec", r.LastReportedTimeUsec.get()},
            {"LastReportedTime", rfc3339(r.LastReportedTimeSec.get(), r.LastReportedTimeUsec.get())},
            {"Port", r.Port.get()},
            {"lanHostEntry", lanhost_json(r.lanHostEntry)},
            {"HostState", r.HostState.get()},
            {"HostStateName", report_state_name(r.HostState.get())},
            {"FingerprintType", r.FingerprintType.get()},
            {"FingerprintTypeName", fingerprint_type_name(r.FingerprintType.get())},
            {"Option55", json_text(r.Option55)},
            {"L3Status", json_text(r.L3Status)},
            {"InterfaceStatus", json_text(r.InterfaceStatus)},
            {"timer", r.timer.get()},
            {"TimerStage", r.TimerStage.get()},
            {"fingerprintData", fingerprint_json(r)},
            {"Critical", r.Critical.get()},
            {"CriticalSetInterface", r.CriticalSetInterface.get()},
            {"HDDState", r.HDDState.get()}};
}

// A field for a terminal row: control characters and spaces become '?' and
// '_', so a row stays one line with its columns apart.
std::string cell(const std::string &text)
{
    std::string out = text.empty() ? "-" : text;
    for (char &c : out) {
        if (c == ' ')
            c = '_';
        else if ((unsigned char)c < 0x20 || c == 0x7f)
            c = '?';
    }
    return out;
}

std::string summary(const DeviceRecord &r)
{
    switch (r.FingerprintType.get()) {
    case FP_UPNP:
        return json_text(r.fingerprintData.upnp.Manufacturer) + "/" +
               json_text(r.fingerprintData.upnp.ModelName);
    case FP_MDNS:
        return json_text(r.fingerprintData.mdns.Manufacturer) + "/" + json_text(r.fingerprintData.mdns.Model);
    case FP_HTTP:
        return json_text(r.fingerprintData.http.UserAgent);
    default:
        return "";
    }
}

void print_rows(const std::vector<DeviceRecord> &records)
{
    std::vector<std::vector<std::string>> rows = {{"MAC", "IP", "HOSTNAME", "INTERFACE", "STATUS",
                                                   "HOSTSTATE", "FINGERPRINT", "SUMMARY", "LASTREPORT"}};
    for (const DeviceRecord &r : records) {
        const char *type = fingerprint_type_name(r.FingerprintType.get());
        const char *st = status_name(r.Status.get());
        const char *hs = report_state_name(r.HostState.get());
        rows.push_back({cell(json_text(r.lanHostEntry.MACAddress)), cell(json_text(r.lanHostEntry.IPAddress)),
                        cell(json_text(r.lanHostEntry.HostName)),
                        cell(json_text(r.lanHostEntry.InterfaceType)),
                        cell(*st ? st : std::to_string(r.Status.get())),
                        cell(*hs ? hs : std::to_string(r.HostState.get())),
                        cell(*type ? type : std::to_string(r.FingerprintType.get())), cell(summary(r)),
                        r.LastReportedTimeSec.get() == 0
                            ? std::string("-")
                            : rfc3339(r.LastReportedTimeSec.get(), r.LastReportedTimeUsec.get())});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            width[c] = row[c].size() > width[c] ? row[c].size() : width[c];
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        line += '\n';
        fwrite(line.data(), 1, line.size(), stdout);
    }
}

} // namespace

std::string devices_json(const std::vector<DeviceRecord> &records)
{
    try {
        Json all = Json::array();
        for (const DeviceRecord &r : records)
            all.push_back(record_json(r));
        return json_dump(all);
    } catch (...) {
        return std::string();
    }
}

std::string stored_devices_json()
{
    try {
        std::vector<DeviceRecord> records;
        std::string error;
        const std::string path(_g_file, field_len(_g_file, sizeof _g_file));
        if (db_read_records(path.c_str(), true, &records, &error) != 0)
            records.clear();
        return devices_json(records);
    } catch (...) {
        return std::string();
    }
}

int zelmo_show(const char *mac, bool json)
{
    const std::string path = root_path("/configs/devices.db");
    std::vector<DeviceRecord> records;
    std::string error;
    if (db_read_records(path.c_str(), true, &records, &error) != 0) {
        fprintf(stderr, "zelmo: %s\n", error.c_str());
        return 1;
    }
    if (mac != nullptr) {
        std::vector<DeviceRecord> one;
        for (const DeviceRecord &r : records)
            if (strcasecmp(json_text(r.lanHostEntry.MACAddress).c_str(), mac) == 0)
                one.push_back(r);
        if (one.empty()) {
            fprintf(stderr, "zelmo: no device %s in %s\n", mac, path.c_str());
            return 1;
        }
        records.swap(one);
    }
    if (json) {
        std::string text = devices_json(records);
        if (text.empty()) {
            fprintf(stderr, "zelmo: out of memory\n");
            return 1;
        }
        text += '\n';
        fwrite(text.data(), 1, text.size(), stdout);
    } else {
        print_rows(records);
    }
    return 0;
}
