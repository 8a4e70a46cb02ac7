// Host updates (objtype 1): presence and identity changes of a LAN host,
// reported to the cloud and notified to the LAN host daemon.
#include "tracking/update_handler.h"

#include "bus/notify.h"
#include "cloud/cloud.h"
#include "common/bytes.h"
#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/lanhost.h"
#include "platform/log.h"
#include "timers/timers.h"

#include <cstring>

namespace
{

template <size_t N, size_t M> bool same(const char (&a)[N], const char (&b)[M])
{
    return field_eq_nocase(a, b);
}

// The stored record of a MAC without any log line (for the first log of a call).
const DeviceRecord *stored_record(const char *mac)
{
    if (_g_devices == nullptr || text_empty(mac))
        return nullptr;
    for (int i = 0; i < _g_device_count; ++i) {
        const char *stored = _g_devices[i].lanHostEntry.MACAddress;
        if (stored[0] != '\0' &&
            field_equal_nocase(stored, sizeof _g_devices[i].lanHostEntry.MACAddress, mac, 32))
            return &_g_devices[i];
    }
    return nullptr;
}

// The payload's action settled by the host form builder.
int32_t build_host_form(UpdateWork &work, const LanHostEntryObject &entry, int32_t action, int32_t port,
                        int32_t critical, const char *l3, const char *ifstatus)
{
    int32_t status = action;
    formHostData(&entry, work.form, 1, &status, port, critical, l3, ifstatus, 0);
    return status;
}

// New device, or a record no host report was made for yet (HostState New).
void handle_new_host(DeviceUpdate &update, UpdateWork &work, int32_t action)
{
    LanHostEntryObject &entry = update.description.host;
    action = build_host_form(work, entry, action, int32_t(update.SSIDIndex.get()), 0, update.L3Status,
                             update.InterfaceStatus);
    update.action.set(uint32_t(action));
    const int32_t host_state = sendToCloud(work.form, FORM_HOST);

    char mac[32];
    field_copy(mac, entry.MACAddress);
    update_device(mac, REPORT_NEW, action, FP_NONE, host_state, 1, &entry, nullptr, update.L3Status,
                  update.InterfaceStatus);
    int index = -1;
    if (is_newdevice(mac, &index) != 0)
        return;
    DeviceRecord &record = _g_devices[index];
    // A schedule still running for this record is replaced, not leaked.
    if (record.timer.get() != 0)
        change_timer(record.timer.get(), 0);
    record.timer.set(0);
    zelmo_makeTimer(index, _g_add_timer);
    record.TimerStage.set(1);
    table_changed();
    ZLOG(ZLOG_INFO, "before send MAC = %s IP = %s InterfaceType = %s\n", record.lanHostEntry.MACAddress,
         record.lanHostEntry.IPAddress, record.lanHostEntry.InterfaceType);
    notify_when_saved(record, notifyDeviceAdded);
}

// The fingerprint description that waited for its host row (HostState now Reported).
void report_pending_fingerprint(UpdateWork &work, int index)
{
    DeviceRecord &r = _g_devices[index];
    const int32_t type = r.FingerprintType.get();
    int32_t device_state = REPORT_REPORTING;
    if (r.HostState.get() == REPORT_REPORTED) {
        memset(work.form, 0, sizeof work.form);
        const char *mac = work.entry.MACAddress;
        switch (type) {
        case FP_UPNP:
            formUPnPData(mac, &r.fingerprintData, work.form, 1);
            device_state = sendToCloud(work.form, FORM_UPNP);
            break;
        case FP_MDNS:
            formMDNSData(mac, &r.fingerprintData, work.form, 1);
            device_state = sendToCloud(work.form, FORM_MDNS);
            break;
        case FP_HTTP:
            formHTTPData(mac, r.Option55, &r.fingerprintData, work.form, 1);
            device_state = sendToCloud(work.form, FORM_HTTP);
            break;
        default:
            ZLOG(ZLOG_ERR, "Obj Type NOT matched..!\n");
            break;
        }
    }
    RecordCopy own(r);
    update_device(own.mac, device_state, r.Status.get(), type, r.HostState.get(), 1, &own.entry, nullptr,
                  own.l3, own.ifstatus);
}

// A known record whose host row has been reported before (HostState not New).
void handle_known_host(DeviceUpdate &update, UpdateWork &work, int index, int32_t action)
{
    DeviceRecord &r = _g_devices[index];
    const RecordCopy before(r); // the stored texts, terminated within their fields
    const LanHostEntryObject &stored = before.entry;
    LanHostEntryObject &entry = update.description.host;

    if (action == STATUS_REMOVED) {
        // The removal is reported with what the table knows of the host.
        memcpy(&entry, &stored, sizeof entry);
        int32_t status = action;
        formHostData(&entry, work.form, 1, &status, r.Port.get(), r.Critical.get(), before.l3,
                     before.ifstatus, 0);
        entry.HostActive.set(0);
        const int32_t old_status = r.Status.get();
        if ((old_status == STATUS_INACTIVE || old_status == STATUS_REMOVED) &&
            r.HostState.get() == REPORT_REPORTED)
            ZLOG(ZLOG_INFO, "Old status is NOTIFY_DEVICE_INACTIVE/NOTIFY_DEVICE_REMOVED and hostState "
                            "DEVICE_REPORTED. So no need to change the hostState\n");
        else {
            r.HostState.set(REPORT_REPORTING);
            table_changed();
        }
    } else {
        action = build_host_form(work, entry, action, r.Port.get(), r.Critical.get(), update.L3Status,
                                 update.InterfaceStatus);
        update.action.set(uint32_t(action));
    }
    ZLOG(ZLOG_DEBUG,
         "status[%d  %d] source[%s  %s] IP[%s  %s] Ifname[%s  %s] FName[%s  %s] HostName[%s  %s] state[%d  "
         "%d] hostState[%d  %d]\n",
         int(r.Status.get()), int(action), stored.AddressSource, entry.AddressSource, stored.IPAddress,
         entry.IPAddress, stored.InterfaceType, entry.InterfaceType, stored.FriendlyName, entry.FriendlyName,
         stored.HostName, entry.HostName, int(r.DeviceState.get()), 4, int(r.HostState.get()), 4);

    const bool identity_same =
        same(stored.IPAddress, entry.IPAddress) && same(stored.InterfaceType, entry.InterfaceType) &&
        same(stored.HostName, entry.HostName) && same(stored.FriendlyName, entry.FriendlyName);
    if (r.Status.get() == action && same(stored.AddressSource, entry.AddressSource) && identity_same &&
        same(before.ifstatus, update.InterfaceStatus) && same(before.l3, update.L3Status) &&
        field_equal_exact(stored.FriendlyName, sizeof stored.FriendlyName, entry.FriendlyName,
                          sizeof entry.FriendlyName) &&
        r.HostState.get() == REPORT_REPORTED) {
        ZLOG(ZLOG_ERR, "No change in state. So ignore..!\n");
        return;
    }

    int32_t host_state;
    if (r.Status.get() == STATUS_INACTIVE && action == STATUS_REMOVED &&
        r.HostState.get() == REPORT_REPORTED) {
        ZLOG(ZLOG_DEBUG, "Old status - INACTIVE, current action - REMOVED, old hostState - Reported. So skip "
                         "it..!\n");
        host_state = REPORT_REPORTED;
    } else if (_g_session_timeout.load() == 0 && identity_same) {
        ZLOG(ZLOG_DEBUG, "cloud session is not opened. But device changing the status alone. So ignore to "
                         "send to cloud");
        host_state = REPORT_REPORTED;
    } else {
        // An open session uploads every change; without one, a changed identity.
        host_state = sendToCloud(work.form, FORM_HOST);
    }

    memcpy(&work.entry, &entry, sizeof work.entry); // its MAC names the device in the forms below
    update_device(work.entry.MACAddress, r.DeviceState.get(), action, r.FingerprintType.get(), host_state, 1,
                  &entry, nullptr, update.L3Status, update.InterfaceStatus);

    if (r.FingerprintType.get() == FP_NONE && action == STATUS_ACTIVE && r.TimerStage.get() == 0 &&
        r.timer.get() == 0) {
        zelmo_makeTimer(index, _g_add_timer);
        r.TimerStage.set(1);
        table_changed();
    }
    const int32_t device_state = r.DeviceState.get();
    if ((device_state == REPORT_DISCOVERY || device_state == REPORT_REPORTING ||
         device_state == REPORT_NODATA) &&
        r.FingerprintType.get() != FP_NONE)
        report_pending_fingerprint(work, index);

    notify_when_saved(r, notifyDeviceStatusChange);
}

} // namespace

void handle_host_update(DeviceUpdate &update, UpdateWork &work)
{
    const uint32_t raw_action = update.action.get();
    if (raw_action >= 3)
        return;
    int32_t action = int32_t(raw_action);
    LanHostEntryObject &entry = update.description.host;
    terminate_entry_texts(entry);
    if (action == STATUS_REMOVED)
        entry.HostActive.set(0);

    char db_hostname[256] = "";
    if (const DeviceRecord *stored = stored_record(entry.MACAddress))
        field_copy(db_hostname, stored->lanHostEntry.HostName);
    ZLOG(ZLOG_INFO,
         "[ZELMO]received data MAC = %s IP = %s InterfaceType = %s iid[1] = %d res HostName = %s db HostName "
         "= "
         "%s\n",
         entry.MACAddress, entry.IPAddress, entry.InterfaceType, int(entry.instanceId.inst[1].get()),
         entry.HostName, db_hostname);

    int index = -1;
    if (is_newdevice(entry.MACAddress, &index) != 0) {
        if (action == STATUS_REMOVED)
            return;
        refresh_entry(entry);
        handle_new_host(update, work, action);
        return;
    }

    const DeviceRecord &r = _g_devices[index];
    const LanHostEntryObject &own = r.lanHostEntry;
    if (action != STATUS_REMOVED &&
        (own.HostName[0] == '\0' || own.FriendlyName[0] == '\0' || !same(own.HostName, entry.HostName) ||
         !same(own.FriendlyName, entry.FriendlyName)))
        refresh_entry(entry);
    if (r.HostState.get() == REPORT_NEW)
        handle_new_host(update, work, action);
    else
        handle_known_host(update, work, index, action);
}
