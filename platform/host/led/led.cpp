// LED library: the LedFeatureEnable signal on the system bus.
#include "platform/led.h"
#include "platform/dbus_raii.h"
#include "platform/log.h"

int sendLedFeatureEnableSignal(const char *sender, uint32_t enable)
{
    const char *name = sender ? sender : "";
    if (!dbus_validate_utf8(name, nullptr)) {
        ZLOG(ZLOG_ERR, "led: sender name is not UTF-8 text\n");
        return -1;
    }
    dbus_threads_init_default();
    ScopedDBusError err;
    DBusPrivateConnectionPtr conn(dbus_bus_get_private(DBUS_BUS_SYSTEM, err.get()));
    if (!conn) {
        ZLOG(ZLOG_ERR, "led: cannot connect to the system bus: %s\n", err.message());
        return -1;
    }
    dbus_connection_set_exit_on_disconnect(conn.get(), FALSE);
    DBusMessagePtr signal(dbus_message_new_signal("/arvex/led", "arvex.led", "LedFeatureEnable"));
    dbus_uint32_t flag = enable;
    if (!signal ||
        !dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_UINT32, &flag,
                                  DBUS_TYPE_INVALID) ||
        !dbus_connection_send(conn.get(), signal.get(), nullptr)) {
        ZLOG(ZLOG_ERR, "led: no memory for the LedFeatureEnable signal\n");
        return -1;
    }
    // The caller exits right after: the signal must have left the process.
    dbus_connection_flush(conn.get());
    if (!dbus_connection_get_is_connected(conn.get())) {
        ZLOG(ZLOG_ERR, "led: bus connection lost while sending LedFeatureEnable\n");
        return -1;
    }
    return 0;
}
