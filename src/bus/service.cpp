// The daemon's bus service: its name, the ArvexKvxZelmo method interface and
// the bus thread's body.
#include "bus/bus.h"
#include "platform/lanhost.h"

#include <cstdlib>

namespace
{
constexpr char kServiceName[] = "arvex.kvx.zelmo";
constexpr int kMethodCount = 5;

// The interface descriptor: service name, dispatch function, then the five
// method implementations in slot order.
struct ArvexKvxZelmo {
    OmbusService service;
    LanHostNotifyFn methods[kMethodCount];
};
static_assert(sizeof(ArvexKvxZelmo) == 7 * sizeof(void *));

const char *const kMethodNames[kMethodCount] = {
    "notifyDeviceAdded",    "notifyDeviceStatusChange", "notifyDeviceInfoUpdate",
    "notifySyncAllDevices", "notifyDeviceCategoryInfo",
};
} // namespace

// Allocated at the first registration and kept for the life of the process.
static ArvexKvxZelmo *_g_zelmo_interface = nullptr;

void onArvexKvxZelmoDispatch(const OmbusService *descriptor, OmbusCall *call, OmbusReply *reply,
                             uint8_t *handled)
{
    const auto *zelmo = reinterpret_cast<const ArvexKvxZelmo *>(descriptor);
    for (int i = 0; i < kMethodCount; ++i) {
        if (!ombusIsMethodCall(call, descriptor->name, kMethodNames[i]))
            continue;
        uint8_t slot[8];
        uint32_t length = 0;
        // Wrong arguments leave the call unhandled; the bus library answers it.
        if (ombusReadParcelPointer(call, slot, sizeof slot) != 0 || ombusReadParcelUint32(call, &length) != 0)
            return;
        // The client call never reads beyond the slot.
        if (length > sizeof slot)
            length = sizeof slot;
        int result = zelmo->methods[i](slot, length);
        *handled = 1;
        ombusWriteParcelUint32(reply, uint32_t(result));
        return;
    }
    ombusLogFatalReal(__LINE__, "onArvexKvxZelmoDispatch", "unknown message: %s\n", ombusGetMethodName(call));
}

const OmbusService *zelmo_service_descriptor()
{
    if (_g_zelmo_interface == nullptr) {
        _g_zelmo_interface = static_cast<ArvexKvxZelmo *>(calloc(1, sizeof(ArvexKvxZelmo)));
        if (_g_zelmo_interface != nullptr)
            *_g_zelmo_interface =
                ArvexKvxZelmo{{kServiceName, onArvexKvxZelmoDispatch},
                              {notifyDeviceAdded, notifyDeviceStatusChange, notifyDeviceInfoUpdate,
                               notifySyncAllDevices, notifyDeviceCategoryInfo}};
    }
    return _g_zelmo_interface != nullptr ? &_g_zelmo_interface->service : nullptr;
}

int register_zelmo_service()
{
    int status = ombusOwnName(kServiceName);
    if (status != 0) {
        ombusLogFatalReal(__LINE__, "register_zelmo_service",
                          "failed to request bus name for zelmo service\n");
        return status;
    }
    const OmbusService *descriptor = zelmo_service_descriptor();
    status = descriptor == nullptr ? OMBUS_ERR_NO_MEMORY : ombusRegisterService(descriptor);
    if (status != 0) {
        ombusLogFatalReal(__LINE__, "register_zelmo_service", "failed to register ArvexKvxZelmo interface\n");
        return status;
    }
    return ombus_get_status_value(0);
}

int start_zelmo_service()
{
    int status = register_zelmo_service();
    if (status != 0) {
        ombusLogFatalReal(__LINE__, "start_zelmo_service", "failed to register zelmo service\n");
        return status;
    }
    register_zelmo_signal();
    ombusMainLoop();
    return ombus_get_status_value(0);
}
