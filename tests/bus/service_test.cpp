// Registration of the bus service: the name, the match rules, and the
// failures after which the bus thread ends without bus input.
#include "bus_harness.h"

#include "bus/bus.h"
#include "frame/frame.h"
#include "platform/ombus.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

// Runs start_zelmo_service() on a thread that is expected to end by itself
// (its result; nothing if it did not). If it does not, the bus is stopped so
// the thread can still be joined.
std::optional<int> run_expecting_return(PrivateBus *bus)
{
    std::atomic<bool> done{false};
    int result = -1;
    std::thread thread([&] {
        result = start_zelmo_service();
        done = true;
    });
    bool returned = wait_until([&] { return done.load(); }, 5000ms);
    if (!returned && bus != nullptr)
        bus->stop();
    thread.join();
    return returned ? std::optional(result) : std::nullopt;
}

TEST(BusService, NameOwnedElsewhereOrNoBusEndsTheServiceWithoutBusInput)
{
    PrivateBus bus;
    BusClient owner;
    ASSERT_TRUE(owner.request_name("arvex.kvx.zelmo"));
    _g_isRoot = 0;
    ASSERT_EQ(zelmo_create_local_unix_socket(), 0);
    CaptureFd log(STDERR_FILENO);

    EXPECT_EQ(run_expecting_return(&bus), OMBUS_ERR_NAME);

    std::string text = log.text();
    size_t first = text.find("<3> register_zelmo_service:");
    size_t second = text.find("<3> start_zelmo_service:");
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
    EXPECT_NE(text.find(": failed to request bus name for zelmo service\n", first), std::string::npos);
    EXPECT_NE(text.find(": failed to register zelmo service\n", second), std::string::npos);
    EXPECT_EQ(text.find("failed to register ArvexKvxZelmo interface"), std::string::npos);

    // No subscription was made: signals do not reach the main-thread side.
    BusClient sender;
    ASSERT_TRUE(sender.emit_signal("arvex.lanhostd", "setLanhostEntry", {1, 2, 3}));
    EXPECT_FALSE(read_local_message(local_pipe[0], 300ms).has_value());

    close(local_pipe[0]);
    close(local_pipe[1]);
    local_pipe[0] = local_pipe[1] = -1;

    // Without a bus at all the service ends at once too.
    bus.stop();
    CaptureFd no_bus_log(STDERR_FILENO);
    EXPECT_EQ(run_expecting_return(nullptr), OMBUS_ERR_NO_BUS);
    EXPECT_EQ(no_bus_log.count("failed to request bus name for zelmo service\n"), 1u);
    EXPECT_EQ(no_bus_log.count("failed to register zelmo service\n"), 1u);
}

// The number of match rules the bus holds for the owner of a name.
int match_rule_count(BusClient &client, const std::string &name)
{
    DBusMessagePtr call(dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus.Debug.Stats",
                                                     "GetConnectionStats"));
    const char *text = name.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
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

TEST(BusService, SubscriptionsAreAddedAndRemovedOnTheBus)
{
    PrivateBus bus;
    BusClient observer;
    ASSERT_EQ(register_zelmo_service(), 0);
    ASSERT_EQ(register_zelmo_signal(), 0);
    // Sixteen table entries, the option 55 subscription and the bus's word
    // on departed connections (which the connection keeps).
    EXPECT_EQ(match_rule_count(observer, "arvex.kvx.zelmo"), 18);
    EXPECT_EQ(deregister_zelmo_signal(), 0);
    EXPECT_EQ(match_rule_count(observer, "arvex.kvx.zelmo"), 1);
    // Removing what is no longer there fails on the bus and is reported.
    EXPECT_NE(deregister_zelmo_signal(), 0);

    // The loop ends with the bus and leaves nothing behind: a second round
    // on a new bus starts from scratch.
    bus.stop();
    EXPECT_EQ(ombusMainLoop(), OMBUS_OK);
    EXPECT_EQ(ombusMainLoop(), OMBUS_ERR_NO_BUS);
    PrivateBus again;
    BusClient observer2;
    ASSERT_EQ(register_zelmo_service(), 0);
    ASSERT_EQ(register_zelmo_signal(), 0);
    EXPECT_EQ(match_rule_count(observer2, "arvex.kvx.zelmo"), 18);
    again.stop();
    EXPECT_EQ(ombusMainLoop(), OMBUS_OK);
}

} // namespace
