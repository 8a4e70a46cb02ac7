// Fingerprint updates (objtypes UPNP, MDNS, HTTP): the description is taken
// by precedence (UPNP over MDNS over HTTP), merged, stored, reported once the
// host row is reported, and notified; the device's HTTP capture stops.
#include "tracking/update_handler.h"

#include "bus/notify.h"
#include "cloud/cloud.h"
#include "common/bytes.h"
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "platform/lanhost.h"
#include "platform/log.h"
#include "timers/timers.h"

#include <cstring>

namespace
{

bool lower_source(int32_t held, int32_t type)
{
    return (held == FP_UPNP && (type == FP_MDNS || type == FP_HTTP)) || (held == FP_MDNS && type == FP_HTTP);
}

// The record of a device that only left a fingerprint so far: entered with
// what the configuration store knows of it. -1 when it cannot be entered.
int enter_unknown_device(const char *mac, int32_t type, int32_t action, UpdateWork &work)
{
    ZLOG(ZLOG_DEBUG, "Device found without host table..!!!\n");
    memset(&work.entry, 0, sizeof work.entry);
    field_set(work.entry.MACAddress, mac);
    refresh_entry(work.entry);
    update_device(mac, REPORT_NEW, action, FP_NONE, REPORT_NEW, 1, &work.entry, nullptr, nullptr, nullptr);
    int index = -1;
    if (is_newdevice(mac, &index) != 0)
        return -1;
    const RecordCopy own(_g_devices[index]);
    update_device(mac, REPORT_REPORTING, action, type, _g_devices[index].HostState.get(), 1, &own.entry,
                  &work.fingerprint, own.l3, own.ifstatus);
    return index;
}

// The HTTP capture of the device ends, whatever follows.
void stop_capture(DeviceRecord &r)
{
    char mac[32];
    field_copy(mac, r.lanHostEntry.MACAddress);
    add_iptables_rule(mac, 0);
    if (r.timer.get() != 0)
        zelmo_deleteTimer(r.timer.get());
    r.TimerStage.set(3);
    r.timer.set(0);
    table_changed();
}

// Builds the description and its form; the form name goes to work.form_name.
void build_description(const DeviceUpdate &update, const char *mac, int32_t type, DeviceRecord &r,
                       UpdateWork &work)
{
    FingerprintData &f = work.fingerprint;
    const uint8_t *raw = update.description.raw;
    const int32_t held = r.FingerprintType.get();
    if (type == FP_UPNP) {
        convertToUPnP(raw, &f);
        formUPnPData(mac, &f, work.form, 1);
        field_set(work.form_name, FORM_UPNP);
    } else if (type == FP_MDNS) {
        MDNSData received;
        memcpy(&received, raw, sizeof received);
        received.Manufacturer[sizeof received.Manufacturer - 1] = '\0';
        received.Model[sizeof received.Model - 1] = '\0';
        received.UUID[sizeof received.UUID - 1] = '\0';
        if (held == FP_MDNS)
            memcpy(&f, &r.fingerprintData, sizeof f);
        else
            memset(&f, 0, sizeof f);
        copyValidMDNSData(&f, &received);
        formMDNSData(mac, &f, work.form, 1);
        field_set(work.form_name, FORM_MDNS);
    } else {
        HTTPData received;
        memcpy(&received, raw, sizeof received);
        received.VendorID[sizeof received.VendorID - 1] = '\0';
        received.UserAgent[sizeof received.UserAgent - 1] = '\0';
        ZLOG(ZLOG_DEBUG, "user-agent = %s\n", received.UserAgent);
        char option55[sizeof r.Option55];
        field_copy(option55, r.Option55);
        if (held == FP_HTTP)
            memcpy(&f, &r.fingerprintData, sizeof f);
        else
            memset(&f, 0, sizeof f);
        copyValidHTTPData(&f, &received, option55);
        if (f.http.VendorID[0] == '\0' && r.lanHostEntry.VendorClassID[0] != '\0')
            str_copy_n(f.http.VendorID, 64, r.lanHostEntry.VendorClassID,
                       sizeof r.lanHostEntry.VendorClassID);
        formHTTPData(mac, option55, &f, work.form, 1);
        field_set(work.form_name, FORM_HTTP);
    }
    r.FingerprintType.set(type);
    table_changed();
}

// A host that was never reported is reported before its description.
void report_host_first(const char *mac, DeviceRecord &r, UpdateWork &work)
{
    refresh_entry(r.lanHostEntry);
    table_changed();
    notify_when_saved(r, notifyDeviceAdded);
    const RecordCopy own(r);
    int32_t status = r.Status.get();
    formHostData(&own.entry, work.second_form, 1, &status, r.Port.get(), r.Critical.get(), own.l3,
                 own.ifstatus, 0);
    r.Status.set(status);
    table_changed();
    const int32_t host_state = sendToCloud(work.second_form, FORM_HOST);
    update_device(mac, r.DeviceState.get(), r.Status.get(), r.FingerprintType.get(), host_state, 1,
                  &own.entry, nullptr, own.l3, own.ifstatus);
}

} // namespace

void handle_fingerprint_update(DeviceUpdate &update, UpdateWork &work)
{
    const int32_t type = int32_t(update.objtype.get());
    const uint32_t raw_action = update.action.get();
    ZLOG(ZLOG_DEBUG, "Device is valid. action = %d\n", int(raw_action));
    if (raw_action >= STATUS_REMOVED)
        return;
    const int32_t action = int32_t(raw_action);
    char mac[32];
    field_copy(mac, update.MACAddress);

    int index = -1;
    if (is_newdevice(mac, &index) != 0) {
        index = enter_unknown_device(mac, type, action, work);
        if (index < 0)
            return;
    }
    DeviceRecord &r = _g_devices[index];
    stop_capture(r);

    const int32_t held = r.FingerprintType.get();
    if (lower_source(held, type)) {
        ZLOG(ZLOG_INFO, "Device already finger printed using UPNP or MDNS. So ignore it\n");
        return;
    }
    if (held != FP_NONE && !(held == FP_HTTP && (type == FP_UPNP || type == FP_MDNS)) &&
        r.DeviceState.get() == REPORT_REPORTED && r.HostState.get() == REPORT_REPORTED) {
        ZLOG(ZLOG_INFO, "No change in upnp/http data. So ignore..!\n");
        return;
    }

    build_description(update, mac, type, r, work);
    if (r.HostState.get() != REPORT_REPORTED)
        report_host_first(mac, r, work);

    int32_t device_state = REPORT_REPORTING;
    if (r.HostState.get() == REPORT_REPORTED)
        device_state = sendToCloud(work.form, work.form_name);

    const RecordCopy own(r);
    update_device(mac, device_state, r.Status.get(), type, r.HostState.get(), 1, &own.entry,
                  &work.fingerprint, own.l3, own.ifstatus);
    notify_when_saved(r, notifyDeviceInfoUpdate);
}
