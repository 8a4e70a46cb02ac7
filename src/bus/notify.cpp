// Outbound device notifications to the LAN host daemon: a 32-bit record
// count, then record images, zero-filled to the message's fixed length.
#include "bus/notify.h"
#include "devtable/devtable.h"
#include "platform/log.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

constexpr uint32_t NOTIFY_COUNT_SIZE = 4;
constexpr uint32_t SINGLE_MESSAGE_SIZE = NOTIFY_COUNT_SIZE + DEVICE_RECORD_SIZE + 5;
constexpr uint32_t TABLE_MESSAGE_SIZE = NOTIFY_COUNT_SIZE + MAX_DEVICES * DEVICE_RECORD_SIZE + 5;
static_assert(SINGLE_MESSAGE_SIZE == 4941 && TABLE_MESSAGE_SIZE == 1262601);

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

#define HOST_FIELDS(r)                                                                                       \
    int(sizeof((r).lanHostEntry.MACAddress)), (r).lanHostEntry.MACAddress,                                   \
        int(sizeof((r).lanHostEntry.IPAddress)), (r).lanHostEntry.IPAddress,                                 \
        int(sizeof((r).lanHostEntry.InterfaceType)), (r).lanHostEntry.InterfaceType

} // namespace

int sentDeviceUpdateToDbus(const DeviceRecord *record, uint32_t count, uint32_t length,
                           LanHostNotifyFn notifier)
{
    if (record == nullptr || notifier == nullptr) {
        ZLOG(ZLOG_ERR, "no record or no client call to notify\n");
        return 0;
    }
    uint8_t message[SINGLE_MESSAGE_SIZE] = {};
    ZLOG(ZLOG_DEBUG, "[ZELMO]Incoming MAC = %.*s IP = %.*s InterfaceType = %.*s\n", HOST_FIELDS(*record));
    store_le32(message, count);
    memcpy(message + NOTIFY_COUNT_SIZE, record, length < DEVICE_RECORD_SIZE ? length : DEVICE_RECORD_SIZE);
    notifier(message, SINGLE_MESSAGE_SIZE);
    const auto *sent = reinterpret_cast<const DeviceRecord *>(message + NOTIFY_COUNT_SIZE);
    ZLOG(ZLOG_INFO, "After send MAC = %.*s IP = %.*s InterfaceType = %.*s\n", HOST_FIELDS(*sent));
    return 0;
}

int sendSyncAllDevicesToDbus()
{
    std::unique_ptr<uint8_t, FreeDeleter> message(static_cast<uint8_t *>(calloc(1, TABLE_MESSAGE_SIZE)));
    if (!message) {
        ZLOG(ZLOG_ERR, "no memory for the whole-table notification\n");
        return 0;
    }
    int32_t count = _g_device_count < 0 ? 0 : _g_device_count > MAX_DEVICES ? MAX_DEVICES : _g_device_count;
    if (_g_devices == nullptr)
        count = 0;
    store_le32(message.get(), uint32_t(count));
    if (count > 0)
        memcpy(message.get() + NOTIFY_COUNT_SIZE, _g_devices, size_t(count) * DEVICE_RECORD_SIZE);
    notifySyncAllDevices(message.get(), TABLE_MESSAGE_SIZE);
    const auto *first = reinterpret_cast<const DeviceRecord *>(message.get() + NOTIFY_COUNT_SIZE);
    ZLOG(ZLOG_INFO, "sendSyncAllDevicesToDbus - After send MAC = %.*s IP = %.*s InterfaceType = %.*s\n",
         HOST_FIELDS(*first));
    return 0;
}
