// Host changes seen by other daemons: a wired port sighting from the mesh
// provisioning or statistics daemon, and a friendly name or guest marker set
// by the configuration manager. Both become host updates of a known device.
#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <cstdio>
#include <cstring>

namespace
{

// notifyDeviceInterfaceUpdate payload: MAC text at 0, a logged text at 64.
struct InterfaceUpdatePayload {
    char MACAddress[64];
    char ops[64];
};
static_assert(sizeof(InterfaceUpdatePayload) == 128);

// notifyUpdateToZelmo payload: MAC text at 8, guest marker at 40, friendly name at 104.
struct UpdateToZelmoPayload {
    uint8_t unused_0[8];
    char MACAddress[32];
    char GuestDevice[64];
    char FriendlyName[65];
};
static_assert(offsetof(UpdateToZelmoPayload, GuestDevice) == 40);
static_assert(offsetof(UpdateToZelmoPayload, FriendlyName) == 104);

// Replaces a fixed field's whole content by at most src_max bytes of src.
template <size_t N> void replace_field(char (&field)[N], const char *src, size_t src_max)
{
    memset(field, 0, N);
    str_copy_n(field, N, src, src_max);
}

} // namespace

int zelmo_processNotifyDeviceInterfaceUpdate(const uint8_t *payload, uint32_t length)
{
    if (_g_isRoot == 0)
        return -1;
    InterfaceUpdatePayload received;
    copy_signal_payload(&received, sizeof received, payload, length);
    char mac[32];
    char ops[64];
    field_copy(mac, received.MACAddress);
    field_copy(ops, received.ops);
    ZLOG(ZLOG_INFO, "Device Interface update MACAddress = %s OPS= %s\n", mac, ops);

    int index = -1;
    if (is_newdevice(mac, &index) != 0)
        return -1;
    const DeviceRecord &record = _g_devices[index];
    // A Wi-Fi host that is associated through an SSID stays on Wi-Fi.
    if (strncmp(record.lanHostEntry.InterfaceType, "Ethernet", sizeof record.lanHostEntry.InterfaceType) == 0)
        return -1;
    if (record.Port.get() != 0 &&
        strncmp(record.InterfaceStatus, "Associated", sizeof record.InterfaceStatus) == 0)
        return -1;

    zelmo_setLanHostInterfaceType(mac, "Ethernet");

    DeviceUpdateMessage message;
    DeviceUpdate &update = host_update_begin(message, STATUS_ACTIVE, mac);
    update.description.host = record.lanHostEntry;
    replace_field(update.description.host.InterfaceType, "Ethernet", sizeof "Ethernet");
    field_set(update.InterfaceStatus, "Associated");
    field_copy(update.L3Status, record.L3Status);

    update_device_handler(&message);
    return 0;
}

int zelmo_processNotifyUpdateToZelmo(const uint8_t *payload, uint32_t length)
{
    ZLOG(ZLOG_INFO, "Entered into function zelmo_handleNotifyUpdateToZelmo()\n");
    if (_g_isRoot == 0)
        return -1;
    if (payload == nullptr) {
        fprintf(stderr, "%s, empty buffer\n", "zelmo_processNotifyUpdateToZelmo");
        fflush(stderr);
        return -1;
    }
    UpdateToZelmoPayload received;
    copy_signal_payload(&received, sizeof received, payload, length);
    char mac[32];
    field_copy(mac, received.MACAddress);

    int index = -1;
    if (is_newdevice(mac, &index) != 0)
        return -1;
    DeviceRecord &record = _g_devices[index];

    DeviceUpdateMessage message;
    memset(&message, 0, sizeof message);
    DeviceUpdate &update = message.payload;
    update.objtype.set(FP_HOST);
    update.action.set(uint32_t(record.Status.get()));
    host_update_from_record(update, record);
    LanHostEntryObject &entry = update.description.host;
    replace_field(entry.FriendlyName, received.FriendlyName, 64);
    replace_field(entry.GuestDevice, received.GuestDevice, sizeof received.GuestDevice);

    // The guest marker lives in the table whatever the handler decides.
    char guest[sizeof record.lanHostEntry.GuestDevice];
    memcpy(guest, record.lanHostEntry.GuestDevice, sizeof guest);
    replace_field(record.lanHostEntry.GuestDevice, received.GuestDevice, sizeof received.GuestDevice);
    if (memcmp(guest, record.lanHostEntry.GuestDevice, sizeof guest) != 0)
        table_changed();

    ZLOG(ZLOG_DEBUG, "Friendly name = %s\n", entry.FriendlyName);
    ZLOG(ZLOG_DEBUG, "Guest Device = %s\n", entry.GuestDevice);
    ZLOG(ZLOG_DEBUG, "DB Guest Device = %s\n", record.lanHostEntry.GuestDevice);

    update_device_handler(&message);
    return 0;
}
