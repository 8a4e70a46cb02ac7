// LAN host daemon client: one-way method calls to "arvex.lanhostd" over a
// private system-bus connection of the client's own.
//
// The connection is made on first use and made again when the bus went away.
// A mutex serialises the calls, so the main thread and the bus thread may
// call at the same time.
#include "platform/lanhost.h"
#include "platform/dbus_raii.h"
#include "platform/log.h"

#include <mutex>

namespace
{

constexpr char kDestination[] = "arvex.lanhostd";
constexpr char kPath[] = "/arvex/lanhostd";
constexpr char kInterface[] = "arvex.lanhostd";

std::mutex _g_lanhost_mutex;
DBusConnection *_g_lanhost_conn = nullptr; // private connection, guarded by _g_lanhost_mutex

void drop_connection_locked()
{
    if (_g_lanhost_conn == nullptr)
        return;
    dbus_connection_close(_g_lanhost_conn);
    dbus_connection_unref(_g_lanhost_conn);
    _g_lanhost_conn = nullptr;
}

// The live connection, made when there is none; nullptr when the bus cannot be reached.
DBusConnection *connection_locked()
{
    if (_g_lanhost_conn != nullptr) {
        // Take note of a hang-up without waiting, and drop what the bus sent
        // us (nothing is subscribed, nothing needs an answer).
        dbus_connection_read_write(_g_lanhost_conn, 0);
        while (DBusMessage *m = dbus_connection_pop_message(_g_lanhost_conn))
            dbus_message_unref(m);
        if (dbus_connection_get_is_connected(_g_lanhost_conn))
            return _g_lanhost_conn;
        ZLOG(ZLOG_INFO, "lanhost client: bus connection lost, connecting again\n");
        drop_connection_locked();
    }
    dbus_threads_init_default();
    ScopedDBusError err;
    DBusConnection *conn = dbus_bus_get_private(DBUS_BUS_SYSTEM, err.get());
    if (conn == nullptr) {
        ZLOG(ZLOG_ERR, "lanhost client: cannot connect to the system bus: %s\n", err.message());
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(conn, FALSE);
    _g_lanhost_conn = conn;
    return conn;
}

// One attempt: 1 sent, 0 the connection broke on the way, -1 failed for good.
int send_once(const char *member, const void *msg, uint32_t len, bool with_payload)
{
    DBusConnection *conn = connection_locked();
    if (conn == nullptr)
        return -1;
    DBusMessagePtr call(dbus_message_new_method_call(kDestination, kPath, kInterface, member));
    if (!call) {
        ZLOG(ZLOG_ERR, "lanhost client: no memory for %s\n", member);
        return -1;
    }
    dbus_message_set_no_reply(call.get(), TRUE);
    if (with_payload && !dbus_append_byte_array(call.get(), msg, len)) {
        ZLOG(ZLOG_ERR, "lanhost client: cannot carry %u bytes in %s\n", len, member);
        return -1;
    }
    if (!dbus_connection_send(conn, call.get(), nullptr)) {
        ZLOG(ZLOG_ERR, "lanhost client: no memory to send %s\n", member);
        return -1;
    }
    dbus_connection_flush(conn);
    return dbus_connection_get_is_connected(conn) ? 1 : 0;
}

int send_call(const char *member, const void *msg, uint32_t len, bool with_payload)
{
    if (with_payload && msg == nullptr && len != 0) {
        ZLOG(ZLOG_ERR, "lanhost client: %s without message\n", member);
        return -1;
    }
    std::lock_guard<std::mutex> lock(_g_lanhost_mutex);
    // A bus that went away unnoticed shows on the first send: connect again once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int rc = send_once(member, msg, len, with_payload);
        if (rc != 0)
            return rc > 0 ? 0 : -1;
        drop_connection_locked();
    }
    ZLOG(ZLOG_ERR, "lanhost client: %s not delivered, bus connection lost\n", member);
    return -1;
}

} // namespace

int notifyDeviceAdded(const void *msg, uint32_t len)
{
    return send_call("notifyDeviceAdded", msg, len, true);
}

int notifyDeviceStatusChange(const void *msg, uint32_t len)
{
    return send_call("notifyDeviceStatusChange", msg, len, true);
}

int notifyDeviceInfoUpdate(const void *msg, uint32_t len)
{
    return send_call("notifyDeviceInfoUpdate", msg, len, true);
}

int notifySyncAllDevices(const void *msg, uint32_t len)
{
    return send_call("notifySyncAllDevices", msg, len, true);
}

int notifyDeviceCategoryInfo(const void *msg, uint32_t len)
{
    return send_call("notifyDeviceCategoryInfo", msg, len, true);
}

int lh_UpdateZelmoDevice(void)
{
    return send_call("UpdateZelmoDevice", nullptr, 0, false);
}
