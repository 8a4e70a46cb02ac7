// Pieces shared by the signal processors that turn a received payload into a
// host update for update_device_handler.
#include "devtable/devtable.h"
#include "tracking/tracking.h"

#include <algorithm>
#include <cstring>

void copy_signal_payload(void *dst, size_t size, const uint8_t *payload, uint32_t length)
{
    memset(dst, 0, size);
    if (payload != nullptr)
        memcpy(dst, payload, std::min<size_t>(size, length));
}

DeviceUpdate &host_update_begin(DeviceUpdateMessage &message, uint32_t action, const char *mac)
{
    memset(&message, 0, sizeof message);
    message.header.type.set(CSMSG_TYPE_DEVICE_UPDATE);
    message.header.payloadLength.set(sizeof message.payload);
    DeviceUpdate &update = message.payload;
    update.objtype.set(FP_HOST);
    update.action.set(action);
    field_set(update.MACAddress, mac);
    return update;
}

void host_update_from_record(DeviceUpdate &update, const DeviceRecord &record)
{
    update.description.host = record.lanHostEntry;
    field_copy(update.InterfaceStatus, record.InterfaceStatus);
    field_copy(update.L3Status, record.L3Status);
}
