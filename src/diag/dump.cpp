// Dump printers: the full and the short table dump, one device's row and
// the fingerprint data part of a row. Everything goes to standard error,
// one piece per row, flushed at once.
#include "devtable/devtable.h"
#include "diag/diag.h"
#include "diag/text_out.h"

#include <ctime>

namespace
{

constexpr size_t HEADER_RULE = 83;
constexpr size_t ROW_RULE = 84;

void add_time(TextOut &out, const DeviceRecord &r)
{
    time_t seconds = r.LastReportedTimeSec.get();
    tm utc{};
    char text[64];
    if (gmtime_r(&seconds, &utc) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc) == 0)
        return;
    out.add("%s.%dZ", text, r.LastReportedTimeUsec.get());
}

void add_upnp(TextOut &out, const UPnPData &d)
{
    out.add("Type-%.*s,Mfr-%.*s,Mname-%.*s,Mno-%.*s,Serial-%.*s,UDN-%.*s", FIELD(d.DeviceType),
            FIELD(d.Manufacturer), FIELD(d.ModelName), FIELD(d.ModelNumber), FIELD(d.SerialNumber),
            FIELD(d.UDN));
}

void add_mdns(TextOut &out, const MDNSData &d)
{
    out.add("Mfr-%.*s,Model-%.*s,UUID-%.*s", FIELD(d.Manufacturer), FIELD(d.Model), FIELD(d.UUID));
}

void add_http(TextOut &out, const DeviceRecord &r)
{
    const HTTPData &d = r.fingerprintData.http;
    out.add("Opt55-%.*s,Vid-%.*s,Uagent-%.*s", FIELD(r.Option55), FIELD(d.VendorID), FIELD(d.UserAgent));
}

void add_type_data(TextOut &out, const DeviceRecord &r)
{
    switch (r.FingerprintType.get()) {
    case FP_UPNP:
        add_upnp(out, r.fingerprintData.upnp);
        break;
    case FP_MDNS:
        add_mdns(out, r.fingerprintData.mdns);
        break;
    case FP_HTTP:
        add_http(out, r);
        break;
    default:
        break;
    }
}

// The column names between two rules of the given character.
void add_header(TextOut &out, char rule, const char *columns)
{
    out.repeat(rule, HEADER_RULE);
    out.add("\n%s\n", columns);
    out.repeat(rule, HEADER_RULE);
    out.add("\n");
}

void add_full_header(TextOut &out)
{
    add_header(
        out, '+',
        "MACAddress  HostState  DeviceState  Status  LastReportedTime  AddressSource IPAddress  Lease  "
        "HostName  "
        "InterfaceType  L3Status  InterfaceStatus  FriendlyName  Port  Critical  CriticalSetInterface "
        "GuestDevice HDDState Type  Data");
}

void add_separator(TextOut &out)
{
    out.add("\n");
    out.repeat('-', ROW_RULE);
    out.add("\n");
}

// The leading columns shared by both dumps: MAC, the two states, the status, the time.
void add_row_start(TextOut &out, const DeviceRecord &r)
{
    out.add("%.*s  %s ", FIELD(r.lanHostEntry.MACAddress), report_state_name(r.HostState.get()));
    out.add("%s  ", report_state_name(r.DeviceState.get()));
    out.add("%s  ", status_name(r.Status.get()));
    add_time(out, r);
}

void add_full_row(TextOut &out, const DeviceRecord &r)
{
    const LanHostEntryObject &h = r.lanHostEntry;
    add_row_start(out, r);
    out.add("  %.*s  %.*s  %d  %.*s  %.*s  %.*s  %.*s  %.*s  %d  %d  %d", FIELD(h.AddressSource),
            FIELD(h.IPAddress), h.LeaseTimeRemaining.get(), FIELD(h.HostName), FIELD(h.InterfaceType),
            FIELD(r.L3Status), FIELD(r.InterfaceStatus), FIELD(h.FriendlyName), r.Port.get(),
            r.Critical.get(), r.CriticalSetInterface.get());
    out.add(" %.*s  ", FIELD(h.GuestDevice));
    out.add(" %d  ", r.HDDState.get());
    out.add(" %s  ", fingerprint_type_name(r.FingerprintType.get()));
    add_type_data(out, r);
}

bool valid_index(int index)
{
    return _g_devices != nullptr && index >= 0 && index < MAX_DEVICES;
}

int used_count()
{
    if (_g_devices == nullptr || _g_device_count < 0)
        return 0;
    return _g_device_count > MAX_DEVICES ? MAX_DEVICES : _g_device_count;
}

// Prints one piece for an item, in one write; -1 for a missing item.
template <typename Item> int print_piece(const Item *item, void (*add)(TextOut &, const Item &))
{
    if (item == nullptr)
        return -1;
    TextOut out;
    add(out, *item);
    out.flush_to(stderr);
    return 0;
}

} // namespace

int print_upnp(const UPnPData *data)
{
    return print_piece(data, add_upnp);
}

int print_mdns(const MDNSData *data)
{
    return print_piece(data, add_mdns);
}

int print_http(const DeviceRecord *record)
{
    return print_piece(record, add_http);
}

void zelmo_print_type_by_index(int index)
{
    if (valid_index(index))
        print_piece(&_g_devices[index], add_type_data);
}

void zelmo_dump_by_index(int index)
{
    if (valid_index(index))
        print_piece(&_g_devices[index], add_full_row);
}

void zelmo_dumpall()
{
    TextOut out;
    add_full_header(out);
    out.flush_to(stderr);
    for (int i = 0; i < used_count(); ++i) {
        add_full_row(out, _g_devices[i]);
        add_separator(out);
        out.flush_to(stderr);
    }
}

void print_device_data()
{
    TextOut out;
    add_header(out, '=', "MACAddress  HostState  DeviceState  Status  LastReportedTime  Type  Data");
    out.flush_to(stderr);
    for (int i = 0; i < used_count(); ++i) {
        const DeviceRecord &r = _g_devices[i];
        add_row_start(out, r);
        out.add("  %s  ", fingerprint_type_name(r.FingerprintType.get()));
        add_type_data(out, r);
        add_separator(out);
        out.flush_to(stderr);
    }
}

int zelmo_dump_by_mac(const char *mac)
{
    if (text_empty(mac))
        return -1;
    int index = find_device(mac);
    if (index < 0)
        return 0;
    TextOut out;
    add_full_header(out);
    add_full_row(out, _g_devices[index]);
    add_separator(out);
    out.flush_to(stderr);
    return 0;
}
