#include "bus_harness.h"

#include "bus/bus.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

// Log lines go to standard error, where the tests capture them (CaptureFd).
static const bool g_log_on_stderr = (cslibLog_setDestination(1), true);

std::optional<Delivered> read_local_message(int fd, std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0)
        return std::nullopt;
    LocalMessage message{};
    if (read(fd, &message, sizeof message) != ssize_t(sizeof message))
        return std::nullopt;
    Delivered d;
    d.type = message.type;
    if (message.payload != nullptr) {
        d.payload.assign(message.payload, message.payload + message.length);
        d.terminated = message.payload[message.length] == 0;
    }
    free(message.payload);
    return d;
}

bool wait_service_ready(BusClient &client, std::chrono::milliseconds timeout)
{
    return wait_until(
        [&] {
            return client
                .call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "org.freedesktop.DBus.Peer", "Ping", {}, 1000ms)
                .ok;
        },
        timeout, 20ms);
}

ServiceThread::ServiceThread(PrivateBus &bus) : bus_(bus)
{
    _g_isRoot = 0;
    if (zelmo_create_local_unix_socket() != 0)
        throw std::runtime_error("cannot create the local pipe");
    thread_ = std::thread([this] {
        result_ = start_zelmo_service();
        done_ = true;
    });
    BusClient client;
    ready_ = wait_service_ready(client, 5000ms);
}

ServiceThread::~ServiceThread()
{
    stop();
    while (read_local_message(local_pipe[0], 0ms)) {
    }
    close(local_pipe[0]);
    close(local_pipe[1]);
    local_pipe[0] = local_pipe[1] = -1;
}

std::optional<Delivered> ServiceThread::next(std::chrono::milliseconds timeout)
{
    return read_local_message(local_pipe[0], timeout);
}

int ServiceThread::stop()
{
    if (!stopped_) {
        stopped_ = true;
        bus_.stop();
        thread_.join();
    }
    return result_;
}

int match_rule_count(BusClient &client, const std::string &name)
{
    MethodReply owner =
        client.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                    [&](DBusMessage *m) {
                        const char *text = name.c_str();
                        dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
                    });
    if (!owner.ok || owner.reply.strings.empty())
        return -1;
    DBusMessagePtr call(dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus.Debug.Stats",
                                                     "GetConnectionStats"));
    const char *unique = owner.reply.strings[0].c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &unique, DBUS_TYPE_INVALID);
    ScopedDBusError error;
    DBusMessagePtr reply(
        dbus_connection_send_with_reply_and_block(client.connection(), call.get(), 3000, error.get()));
    if (!reply)
        return -1;
    // a{sv}: find "MatchRules".
    DBusMessageIter args, dict;
    if (!dbus_message_iter_init(reply.get(), &args) ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY)
        return -1;
    for (dbus_message_iter_recurse(&args, &dict);
         dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&dict)) {
        DBusMessageIter entry, variant;
        const char *key = nullptr;
        dbus_message_iter_recurse(&dict, &entry);
        dbus_message_iter_get_basic(&entry, &key);
        if (std::string(key) != "MatchRules")
            continue;
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &variant);
        dbus_uint32_t count = 0;
        dbus_message_iter_get_basic(&variant, &count);
        return int(count);
    }
    return -1;
}

Bytes pattern(size_t length, uint8_t seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(i * 7 + seed);
    return bytes;
}
