// LAN host daemon signals: a host reported (setLanhostEntry) and a host
// removed (delLanhostEntry). Both turn the signal into a host update for
// update_device_handler.
#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <cstring>

namespace
{

// The delLanhostEntry payload as far as it is read: the MAC text at 72.
struct DelLanhostPayload {
    uint8_t unused_0[72];
    char MACAddress[32];
};
static_assert(sizeof(DelLanhostPayload) == 104);

void terminate_host_texts(DeviceUpdate &update)
{
    field_terminate(update.MACAddress);
    field_terminate(update.L3Status);
    field_terminate(update.InterfaceStatus);
    field_terminate(update.description.host.MACAddress);
    field_terminate(update.description.host.InterfaceType);
}

} // namespace

int zelmo_processSetLanhostEntry(const uint8_t *payload, uint32_t length)
{
    if (payload == nullptr || _g_isRoot == 0)
        return -1;

    DeviceUpdateMessage message;
    memset(&message, 0, sizeof message);
    copy_signal_payload(&message.payload, sizeof message.payload, payload, length);
    if (length < sizeof message.payload)
        ZLOG(ZLOG_INFO, "setLanhostEntry payload has %u of %zu bytes; the rest reads as zero\n", length,
             sizeof message.payload);
    DeviceUpdate &update = message.payload;
    LanHostEntryObject &entry = update.description.host;
    terminate_host_texts(update);

    const uint32_t sync = update.sync.get();
    const uint32_t action = update.action.get();
    ZLOG(ZLOG_INFO, "======== DEVICE UPDATE RECEVIED FROM LANHOST, sync = %d =======\n", int(sync));

    int index = -1;
    const bool known = is_newdevice(entry.MACAddress, &index) == 0;
    bool behind_satellite = false;
    if (known) {
        DeviceRecord &record = _g_devices[index];
        ZLOG(ZLOG_INFO,
             "Active/Inactive came for Behind Quillo device. So overwriting from local DB value. "
             "lanhost itf = %s local DB itf = %s",
             entry.InterfaceType, record.lanHostEntry.InterfaceType);
        behind_satellite = record.lanHostEntry.BehindQuillo.get() == 1;
        if (record.lanHostEntry.InterfaceType[0] != '\0')
            field_copy(entry.InterfaceType, record.lanHostEntry.InterfaceType);
        field_copy(update.InterfaceStatus, record.InterfaceStatus);
    }

    // Association of a Wi-Fi host attached to this gateway is tracked from the
    // Wi-Fi daemon's signals; an ordinary entry keeps it.
    const bool wifi = strstr(entry.InterfaceType, "802.11") != nullptr;
    if (!(wifi && !behind_satellite && sync == 0)) {
        field_set(update.InterfaceStatus, action == STATUS_ACTIVE ? "Associated" : "Disassociated");
        if (sync != 0 && known && _g_devices[index].Status.get() != int32_t(action)) {
            _g_devices[index].Status.set(int32_t(action));
            table_changed();
        }
    }
    field_set(update.L3Status, action == STATUS_ACTIVE ? "Reachable" : "Not Reachable");

    update_device_handler(&message);
    return 0;
}

int zelmo_processDelLanhostEntry(const uint8_t *payload, uint32_t length)
{
    ZLOG(ZLOG_INFO, "Entered into zelmo_delLanhostEntry()\n");
    if (_g_isRoot == 0)
        return -1;
    if (payload == nullptr) {
        ZLOG(ZLOG_INFO, "Dhdcpd Lease Update received empty\n");
        return -1;
    }
    DelLanhostPayload received;
    copy_signal_payload(&received, sizeof received, payload, length);
    field_terminate(received.MACAddress);

    int index = -1;
    if (received.MACAddress[0] == '\0' || is_newdevice(received.MACAddress, &index) != 0)
        return -1;
    ZLOG(ZLOG_DEBUG, "zelmo_delLanhostEntry MAC :%s deleted\n", received.MACAddress);

    const DeviceRecord &record = _g_devices[index];
    DeviceUpdateMessage message;
    DeviceUpdate &update = host_update_begin(message, STATUS_REMOVED, received.MACAddress);
    host_update_from_record(update, record);

    update_device_handler(&message);
    return 0;
}
