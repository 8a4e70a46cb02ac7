// update_device_handler: the one place where a change of a LAN device's
// presence or identity becomes a change of the table, a cloud report and a
// notification to the LAN host daemon. Entry steps and dispatch; the host
// path is in update_handler_host.cpp, the fingerprint path in
// fingerprint_update.cpp.
#include "tracking/update_handler.h"

#include "common/bytes.h"
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "platform/log.h"

#include <cstring>

void terminate_entry_texts(LanHostEntryObject &entry)
{
    field_terminate(entry.IPAddress);
    field_terminate(entry.AddressSource);
    field_terminate(entry.MACAddress);
    field_terminate(entry.VendorClassID);
    field_terminate(entry.HostName);
    field_terminate(entry.InterfaceType);
    field_terminate(entry.FriendlyName);
    field_terminate(entry.GuestDevice);
}

void refresh_entry(LanHostEntryObject &entry)
{
    LanHostEntryObject copy;
    memcpy(&copy, &entry, sizeof copy);
    getLanHostEntryObject(&copy);
    terminate_entry_texts(copy);
    memcpy(&entry, &copy, sizeof entry);
}

bool field_equal_exact(const char *a, size_t a_size, const char *b, size_t b_size)
{
    size_t la = field_len(a, a_size), lb = field_len(b, b_size);
    return la == lb && memcmp(a, b, la) == 0;
}

RecordCopy::RecordCopy(const DeviceRecord &r)
{
    field_copy(mac, r.lanHostEntry.MACAddress);
    memcpy(&entry, &r.lanHostEntry, sizeof entry);
    terminate_entry_texts(entry);
    field_copy(l3, r.L3Status);
    field_copy(ifstatus, r.InterfaceStatus);
}

void update_device_handler(DeviceUpdateMessage *message)
{
    if (message == nullptr) {
        ZLOG(ZLOG_ERR, "msg is NULL\n");
        return;
    }
    DeviceUpdate &update = message->payload;
    // Received texts are read only within their fields.
    update.MACAddress[sizeof update.MACAddress - 1] = '\0';
    update.L3Status[sizeof update.L3Status - 1] = '\0';
    update.InterfaceStatus[sizeof update.InterfaceStatus - 1] = '\0';

    const uint32_t objtype = update.objtype.get();
    ZLOG(ZLOG_DEBUG, "update_device_handler() - objtype = %d action = %d\n", int(objtype),
         int(update.action.get()));
    exists_iptable();

    UpdateWork work;
    memset(&work, 0, sizeof work);
    switch (objtype) {
    case FP_HOST:
        handle_host_update(update, work);
        break;
    case FP_UPNP:
    case FP_MDNS:
    case FP_HTTP:
        handle_fingerprint_update(update, work);
        break;
    default:
        break;
    }
}
