// The wrapper's bus connection: connecting, taking the name, the main loop.
#include "ombus_internal.h"
#include "platform/log.h"

#include <cstdarg>
#include <cstdio>

namespace
{
DBusPrivateConnectionPtr g_connection;
} // namespace

DBusConnection *ombus_connection()
{
    if (g_connection)
        return g_connection.get();
    // The loop thread and the LAN host client's callers share libdbus.
    dbus_threads_init_default();
    ScopedDBusError error;
    // A private connection, so that the wrapper alone decides when it ends;
    // DBUS_SYSTEM_BUS_ADDRESS is honoured by libdbus.
    DBusPrivateConnectionPtr connection(dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get()));
    if (!connection) {
        ZLOG(ZLOG_ERR, "cannot connect to the system bus: %s\n", error.message());
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    if (!dbus_connection_add_filter(connection.get(), ombus_signal_filter, nullptr, nullptr)) {
        ZLOG(ZLOG_ERR, "out of memory adding the signal filter\n");
        return nullptr;
    }
    // The bus's word that a connection left, so that its uid is forgotten.
    dbus_bus_add_match(connection.get(), OMBUS_SENDER_LEFT_RULE, error.get());
    if (error.is_set())
        ZLOG(ZLOG_ERR, "cannot follow departing bus senders: %s\n", error.message());
    g_connection = std::move(connection);
    return g_connection.get();
}

void ombus_drop_connection()
{
    g_connection.reset();
    ombus_forget_signal_tables();
    // Unique names start again on another bus.
    ombus_forget_senders();
}

int ombusOwnName(const char *name)
{
    DBusConnection *connection = ombus_connection();
    if (connection == nullptr)
        return OMBUS_ERR_NO_BUS;
    ScopedDBusError error;
    int reply = dbus_bus_request_name(connection, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, error.get());
    if (reply == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER || reply == DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER)
        return OMBUS_OK;
    if (error.is_set())
        ZLOG(ZLOG_ERR, "request for bus name %s failed: %s\n", name, error.message());
    else
        ZLOG(ZLOG_ERR, "bus name %s is owned by another connection\n", name);
    // Nothing else is done on a connection without its name.
    ombus_drop_connection();
    return OMBUS_ERR_NAME;
}

int ombusMainLoop()
{
    DBusConnection *connection = g_connection.get();
    if (connection == nullptr) {
        ZLOG(ZLOG_ERR, "no bus connection to run\n");
        return OMBUS_ERR_NO_BUS;
    }
    // Returns false once the disconnection has been dispatched.
    while (dbus_connection_read_write_dispatch(connection, -1)) {
    }
    ZLOG(ZLOG_INFO, "bus connection ended\n");
    ombus_drop_connection();
    return OMBUS_OK;
}

int ombus_get_status_value(int status)
{
    return status;
}

void ombusLogFatalReal(int line, const char *function, const char *format, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, format);
    const char *pattern = format != nullptr ? format : "";
    vsnprintf(text, sizeof text, pattern, ap);
    va_end(ap);
    log_log(ZLOG_ERR, function, line, "%s", text);
}
