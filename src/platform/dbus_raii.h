// Owning wrappers of libdbus handles and a helper for the `ay` argument that
// every payload of this system travels in.
#pragma once

#include <dbus/dbus.h>

#include <cstddef>
#include <cstdint>
#include <memory>

struct DBusMessageUnref {
    void operator()(DBusMessage *m) const noexcept { dbus_message_unref(m); }
};
using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageUnref>;

struct DBusPendingCallUnref {
    void operator()(DBusPendingCall *p) const noexcept { dbus_pending_call_unref(p); }
};
using DBusPendingCallPtr = std::unique_ptr<DBusPendingCall, DBusPendingCallUnref>;

// A private connection (dbus_bus_get_private, dbus_connection_open_private):
// closed, then released.
struct DBusPrivateConnectionClose {
    void operator()(DBusConnection *c) const noexcept
    {
        dbus_connection_close(c);
        dbus_connection_unref(c);
    }
};
using DBusPrivateConnectionPtr = std::unique_ptr<DBusConnection, DBusPrivateConnectionClose>;

// A shared connection (dbus_bus_get): only released, never closed.
struct DBusConnectionUnref {
    void operator()(DBusConnection *c) const noexcept { dbus_connection_unref(c); }
};
using DBusSharedConnectionPtr = std::unique_ptr<DBusConnection, DBusConnectionUnref>;

// A DBusError that is initialised on construction and freed on destruction.
struct ScopedDBusError {
    DBusError error;
    ScopedDBusError() { dbus_error_init(&error); }
    ~ScopedDBusError() { dbus_error_free(&error); }
    ScopedDBusError(const ScopedDBusError &) = delete;
    ScopedDBusError &operator=(const ScopedDBusError &) = delete;
    DBusError *get() { return &error; }
    bool is_set() const { return dbus_error_is_set(&error) != 0; }
    const char *name() const { return error.name ? error.name : ""; }
    const char *message() const { return error.message ? error.message : ""; }
};

// The largest `ay` argument the bus carries.
constexpr size_t DBUS_BYTE_ARRAY_MAX = 64u * 1024u * 1024u;

// Appends size bytes as one `ay` argument (an empty array when size is 0).
// False when out of memory or the array is too long for the bus.
inline bool dbus_append_byte_array(DBusMessage *message, const void *data, size_t size)
{
    if (message == nullptr || size > DBUS_BYTE_ARRAY_MAX || (data == nullptr && size != 0))
        return false;
    static const uint8_t empty = 0;
    const uint8_t *bytes = size ? static_cast<const uint8_t *>(data) : &empty;
    DBusMessageIter iter;
    DBusMessageIter array;
    dbus_message_iter_init_append(message, &iter);
    if (!dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array))
        return false;
    if (!dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &bytes, int(size))) {
        dbus_message_iter_abandon_container(&iter, &array);
        return false;
    }
    return dbus_message_iter_close_container(&iter, &array) != 0;
}
