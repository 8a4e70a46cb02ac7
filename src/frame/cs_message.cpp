// Serving the message-service descriptor: log level requests and device
// fingerprint information.
#include "frame/frame.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};

// A fingerprint message goes to the update handler as a whole
// DeviceUpdateMessage. The received block only holds the header and the
// payload length it announces (a sender may send less than a full update),
// so it is copied into a zero-filled message first.
void pass_device_update(const uint8_t *block)
{
    const auto *header = reinterpret_cast<const CsMsgHeader *>(block);
    size_t available = sizeof(CsMsgHeader) + size_t(header->payloadLength.get());
    auto message = std::make_unique<DeviceUpdateMessage>();
    memset(message.get(), 0, sizeof(DeviceUpdateMessage));
    memcpy(message.get(), block,
           available < sizeof(DeviceUpdateMessage) ? available : sizeof(DeviceUpdateMessage));
    event_begin();
    update_device_handler(message.get());
    event_end();
}

} // namespace

void zelmo_process_cs_message()
{
    void *received = nullptr;
    if (csMsg_receiveWithTimeout(msgHandle, &received, 1500) != 0) {
        ZLOG(ZLOG_INFO, "Received the message failed.");
        free(received);
        return;
    }
    // At least the 32-byte header, zero-extended by the message service.
    std::unique_ptr<uint8_t, FreeDeleter> block(static_cast<uint8_t *>(received));
    if (!block)
        return;
    const auto *header = reinterpret_cast<const CsMsgHeader *>(block.get());
    switch (header->type.get()) {
    case CSMSG_TYPE_SET_LOG_LEVEL: {
        int level = int(header->value.get());
        ZLOG(ZLOG_INFO, "changing Log level %d\n", level);
        log_opt = level;
        zelmo_setLogLevel(level);
        break;
    }
    case CSMSG_TYPE_DEVICE_UPDATE:
        ZLOG(ZLOG_INFO, "======= DEVICE FINGER PRINT INFO RECEIVED =======\n");
        pass_device_update(block.get());
        break;
    default:
        ZLOG(ZLOG_INFO, "unsupported msg to Zelmo\n");
        break;
    }
}
