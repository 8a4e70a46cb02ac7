#include "bus.h"

bool SimBus::connect()
{
    ScopedDBusError err;
    DBusConnection *c = dbus_bus_get_private(DBUS_BUS_SYSTEM, err.get());
    if (c == nullptr) {
        error_ = std::string("cannot connect to the bus: ") + err.message();
        return false;
    }
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    conn_.reset(c);
    return true;
}

bool SimBus::emit(const std::string &path, const std::string &interface, const std::string &member,
                  const Bytes &payload, const std::string &destination)
{
    DBusMessagePtr msg(dbus_message_new_signal(path.c_str(), interface.c_str(), member.c_str()));
    if (!msg || !dbus_append_byte_array(msg.get(), payload.data(), payload.size()) ||
        (!destination.empty() && !dbus_message_set_destination(msg.get(), destination.c_str()))) {
        error_ = "cannot build the signal " + interface + "." + member;
        return false;
    }
    if (!dbus_connection_send(conn_.get(), msg.get(), nullptr)) {
        error_ = "cannot send the signal";
        return false;
    }
    dbus_connection_flush(conn_.get());
    // The daemon asks the bus who sent a signal, which the bus can only tell
    // while the sender is connected: stay until the daemon has answered a
    // ping sent after the signal (at once when there is no daemon, or the
    // bus does not let this user ping it).
    DBusMessagePtr ping(dbus_message_new_method_call("arvex.kvx.zelmo", "/arvex/kvx/zelmo",
                                                     "org.freedesktop.DBus.Peer", "Ping"));
    if (ping) {
        ScopedDBusError err;
        DBusMessagePtr answer(
            dbus_connection_send_with_reply_and_block(conn_.get(), ping.get(), 2000, err.get()));
    }
    return true;
}

bool SimBus::call_bytes_u32(const std::string &dest, const std::string &path, const std::string &interface,
                            const std::string &member, const Bytes &payload, uint32_t value, uint32_t &reply,
                            int timeout_ms)
{
    DBusMessagePtr msg(
        dbus_message_new_method_call(dest.c_str(), path.c_str(), interface.c_str(), member.c_str()));
    dbus_uint32_t v = value;
    if (!msg || !dbus_append_byte_array(msg.get(), payload.data(), payload.size()) ||
        !dbus_message_append_args(msg.get(), DBUS_TYPE_UINT32, &v, DBUS_TYPE_INVALID)) {
        error_ = "cannot build the call";
        return false;
    }
    ScopedDBusError err;
    DBusMessagePtr answer(
        dbus_connection_send_with_reply_and_block(conn_.get(), msg.get(), timeout_ms, err.get()));
    if (!answer) {
        error_ = std::string(err.name()) + ": " + err.message();
        return false;
    }
    dbus_uint32_t r = 0;
    if (!dbus_message_get_args(answer.get(), err.get(), DBUS_TYPE_UINT32, &r, DBUS_TYPE_INVALID)) {
        error_ = std::string("unexpected reply: ") + err.message();
        return false;
    }
    reply = r;
    return true;
}

bool SimBus::request_name(const std::string &name)
{
    ScopedDBusError err;
    int r = dbus_bus_request_name(conn_.get(), name.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, err.get());
    if (err.is_set()) {
        error_ = std::string(err.name()) + ": " + err.message();
        return false;
    }
    if (r != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER && r != DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER) {
        error_ = "the name is owned by another connection";
        return false;
    }
    return true;
}
