// The daemon's bus service: its name, the ArvexKvxZelmo method interface,
// the status interface, the object's introspection data and the bus
// thread's body.
#include "bus/bus.h"
#include "diag/counters.h"
#include "diag/diag.h"
#include "diag/show.h"
#include "platform/lanhost.h"

#include <cstdlib>
#include <string>

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
constexpr char kIntrospectable[] = "org.freedesktop.DBus.Introspectable";

// Both interfaces of the object with their methods, plus the standard ones
// that libdbus answers itself.
constexpr char kIntrospection[] =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
    "<node>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\"><arg name=\"machine_uuid\" type=\"s\" direction=\"out\"/></method>\n"
    " </interface>\n"
    " <interface name=\"arvex.kvx.zelmo\">\n"
#define ZELMO_SLOT_METHOD(name)                                                                              \
    "  <method name=\"" name "\"><arg name=\"slot\" type=\"ay\" direction=\"in\"/>"                          \
    "<arg name=\"length\" type=\"u\" direction=\"in\"/><arg name=\"result\" type=\"u\" "                     \
    "direction=\"out\"/></method>\n"
    ZELMO_SLOT_METHOD("notifyDeviceAdded") ZELMO_SLOT_METHOD("notifyDeviceStatusChange") ZELMO_SLOT_METHOD(
        "notifyDeviceInfoUpdate") ZELMO_SLOT_METHOD("notifySyncAllDevices")
        ZELMO_SLOT_METHOD("notifyDeviceCategoryInfo")
#undef ZELMO_SLOT_METHOD
            " </interface>\n"
            " <interface name=\"arvex.kvx.zelmo.Status\">\n"
            "  <method name=\"GetStatus\"><arg name=\"status\" type=\"s\" direction=\"out\"/></method>\n"
            "  <method name=\"GetDevices\"><arg name=\"devices\" type=\"s\" direction=\"out\"/></method>\n"
            " </interface>\n"
            "</node>\n";

// Introspection and the status interface; true when the call was one of them.
// The status answers come from the snapshot the main thread publishes and from
// the database file, never from the table.
bool dispatch_status(OmbusCall *call, OmbusReply *reply, uint8_t *handled)
{
    std::string text;
    if (ombusIsMethodCall(call, kIntrospectable, "Introspect"))
        text = kIntrospection; // short; the answer itself could not be built without that memory either
    else if (ombusIsMethodCall(call, ZELMO_STATUS_INTERFACE, "GetStatus"))
        text = status_json();
    else if (ombusIsMethodCall(call, ZELMO_STATUS_INTERFACE, "GetDevices"))
        text = stored_devices_json();
    else
        return false;
    // An empty text (out of memory) leaves the call unhandled: the caller gets an error.
    if (!text.empty() && ombusWriteParcelString(reply, text.c_str()) == 0)
        *handled = 1;
    return true;
}
} // namespace

// Allocated at the first registration and kept for the life of the process.
static ArvexKvxZelmo *_g_zelmo_interface = nullptr;

void onArvexKvxZelmoDispatch(const OmbusService *descriptor, OmbusCall *call, OmbusReply *reply,
                             uint8_t *handled)
{
    const auto *zelmo = reinterpret_cast<const ArvexKvxZelmo *>(descriptor);
    if (dispatch_status(call, reply, handled))
        return;
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
