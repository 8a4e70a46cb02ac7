// Signal subscriptions: match rules on the bus and the tables of handlers
// that matching signals are delivered to.
#include "common/bytes.h"
#include "ombus_internal.h"
#include "platform/log.h"

#include <atomic>
#include <cstring>

namespace
{
struct Table {
    const InterestedSignal *entries;
    int count;
};
constexpr int kMaxTables = 8;
Table g_tables[kMaxTables];
int g_table_count = 0;

// Compares a fixed text field with a received text, never reading past the field.
bool field_is(const char (&field)[64], const char *text)
{
    size_t n = field_len(field, sizeof field);
    return strncmp(field, text, n) == 0 && text[n] == '\0';
}

bool entry_matches(const InterestedSignal &entry, const char *interface, const char *member)
{
    if (!field_is(entry.member, member))
        return false;
    return entry.interface[0] == '\0' || field_is(entry.interface, interface);
}

// The payload of a signal of signature "ay"; false for any other signature.
bool read_payload(DBusMessage *message, const void **data, int *length)
{
    if (!dbus_message_has_signature(message, "ay"))
        return false;
    DBusMessageIter args;
    DBusMessageIter bytes;
    dbus_message_iter_init(message, &args);
    dbus_message_iter_recurse(&args, &bytes);
    dbus_message_iter_get_fixed_array(&bytes, data, length);
    static const uint8_t empty = 0;
    if (*length <= 0 || *data == nullptr) {
        *data = &empty;
        *length = 0;
    }
    return true;
}

// Signal counts per sending interface, written on the loop thread only;
// the name of an entry is complete before the entry count covers it.
struct InterfaceCount {
    char interface[64];
    std::atomic<uint64_t> received;
    std::atomic<uint64_t> dropped;
};
constexpr int kMaxCounted = 32;
InterfaceCount g_counts[kMaxCounted];
std::atomic<int> g_counted{0};

// The counters of the interface, added at first sight; null when full.
InterfaceCount *count_for(const char *interface)
{
    int n = g_counted.load(std::memory_order_relaxed);
    for (int i = 0; i < n; ++i) {
        if (strcmp(g_counts[i].interface, interface) == 0)
            return &g_counts[i];
    }
    if (n == kMaxCounted)
        return nullptr;
    field_set(g_counts[n].interface, interface);
    g_counted.store(n + 1, std::memory_order_release);
    return &g_counts[n];
}

void count_signal(const char *interface, bool dropped)
{
    InterfaceCount *c = count_for(interface);
    if (c == nullptr)
        return;
    c->received.fetch_add(1, std::memory_order_relaxed);
    if (dropped)
        c->dropped.fetch_add(1, std::memory_order_relaxed);
}

int match_rule(const char *rule, bool add)
{
    DBusConnection *connection = ombus_connection();
    if (connection == nullptr || rule == nullptr)
        return OMBUS_ERR_NO_BUS;
    ScopedDBusError error;
    if (add)
        dbus_bus_add_match(connection, rule, error.get());
    else
        dbus_bus_remove_match(connection, rule, error.get());
    if (!error.is_set())
        return OMBUS_OK;
    ZLOG(ZLOG_ERR, "%s match rule \"%s\" failed: %s\n", add ? "adding" : "removing", rule, error.message());
    return OMBUS_ERR_NO_BUS;
}
} // namespace

int ombusAddInterestedSignal(const char *rule)
{
    return match_rule(rule, true);
}

int ombusRemoveMatch(const char *rule)
{
    return match_rule(rule, false);
}

int ombusSetInteresetedSignals(const InterestedSignal *table, int count)
{
    if (table == nullptr || count < 0)
        return -1;
    for (int i = 0; i < g_table_count; ++i) {
        if (g_tables[i].entries == table) {
            g_tables[i].count = count;
            return OMBUS_OK;
        }
    }
    if (g_table_count == kMaxTables) {
        ZLOG(ZLOG_ERR, "no room for another signal table\n");
        return OMBUS_ERR_NO_MEMORY;
    }
    g_tables[g_table_count++] = Table{table, count};
    return OMBUS_OK;
}

int ombusSignalCounts(OmbusSignalCount *out, int max)
{
    int n = g_counted.load(std::memory_order_acquire);
    n = n < max ? n : max;
    for (int i = 0; i < n; ++i) {
        field_set(out[i].interface, g_counts[i].interface);
        out[i].received = g_counts[i].received.load(std::memory_order_relaxed);
        out[i].dropped = g_counts[i].dropped.load(std::memory_order_relaxed);
    }
    return n < 0 ? 0 : n;
}

void ombus_forget_signal_tables()
{
    g_table_count = 0;
}

DBusHandlerResult ombus_signal_filter(DBusConnection *connection, DBusMessage *message, void *)
{
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_SIGNAL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char *interface = dbus_message_get_interface(message);
    const char *member = dbus_message_get_member(message);
    if (interface == nullptr || member == nullptr)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    if (strcmp(interface, DBUS_INTERFACE_DBUS) == 0 && strcmp(member, "NameOwnerChanged") == 0) {
        ombus_sender_left(message);
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }

    // Whoever sent it, broadcast or addressed to the daemon alone: a
    // subscribed signal counts only from a trusted sender.
    bool matched = false;
    const void *payload = nullptr;
    int length = 0;
    for (int t = 0; t < g_table_count; ++t) {
        for (int i = 0; i < g_tables[t].count; ++i) {
            const InterestedSignal &entry = g_tables[t].entries[i];
            if (!entry_matches(entry, interface, member))
                continue;
            if (!matched && !ombus_sender_trusted(connection, message))
                return DBUS_HANDLER_RESULT_HANDLED;
            if (!matched && !read_payload(message, &payload, &length)) {
                ZLOG(ZLOG_ERR, "dropped signal %s.%s: signature \"%s\", expected \"ay\"\n", interface, member,
                     dbus_message_get_signature(message));
                count_signal(interface, true);
                return DBUS_HANDLER_RESULT_HANDLED;
            }
            matched = true;
            if (entry.handler != nullptr)
                entry.handler(connection, message, payload, uint32_t(length));
        }
    }
    if (matched)
        count_signal(interface, false);
    return matched ? DBUS_HANDLER_RESULT_HANDLED : DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}
