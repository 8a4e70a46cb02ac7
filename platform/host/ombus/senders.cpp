// Who may drive the daemon over the bus. Every subscribed signal and every
// method call to a service object is acted on only when its sender's
// connection belongs to Unix uid 0 or to the daemon's own uid. The bus is
// asked for a connection's uid once (GetConnectionUnixUser), the answer is
// kept in a fixed table and forgotten when the bus says the connection left.
//
// Everything here runs on the loop thread, the only one that dispatches the
// connection. The question to the bus blocks inside a dispatch: libdbus
// reads the answer on the same connection and queues whatever else arrives
// meanwhile for the next dispatch, so nothing is lost or reordered.
#include "common/bytes.h"
#include "ombus_internal.h"
#include "platform/log.h"

#include <cstring>
#include <unistd.h>

namespace
{

constexpr int kMaxSenders = 128; // far more than the gateway's sibling daemons
constexpr int kUidQuestionTimeoutMs = 5000;

struct Sender {
    char name[32];   // unique connection name (":1.42"); empty: a free slot
    uint32_t uid;    // valid when known
    uint8_t known;   // the bus told the uid
    uint8_t trusted; // known and root or the daemon's own uid
    uint8_t logged;  // its first drop has been logged
};

Sender g_senders[kMaxSenders];
int g_last_hit = -1;  // the slot that matched last: bursts come from one sender
int g_next_evict = 0; // a full table gives up its slots in turn

uint32_t own_uid()
{
    static const uint32_t uid = uint32_t(geteuid());
    return uid;
}

// The bus's answer: the connection's uid, or false (with the reason logged
// at the debug level) when the bus gave none, e.g. because the sender has
// already left it.
bool bus_uid_of(DBusConnection *connection, const char *name, uint32_t *uid)
{
    if (connection == nullptr)
        return false;
    DBusMessagePtr question(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                         DBUS_INTERFACE_DBUS, "GetConnectionUnixUser"));
    if (!question || !dbus_message_append_args(question.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID))
        return false;
    ScopedDBusError error;
    DBusMessagePtr answer(dbus_connection_send_with_reply_and_block(connection, question.get(),
                                                                    kUidQuestionTimeoutMs, error.get()));
    dbus_uint32_t value = 0;
    if (!answer ||
        !dbus_message_get_args(answer.get(), error.get(), DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID)) {
        ZLOG(ZLOG_DEBUG, "no uid for bus sender %s: %s\n", name, error.message());
        return false;
    }
    *uid = value;
    return true;
}

OmbusUidLookup g_lookup = bus_uid_of;

Sender *find_sender(const char *name)
{
    if (g_last_hit >= 0 && strcmp(g_senders[g_last_hit].name, name) == 0)
        return &g_senders[g_last_hit];
    for (int i = 0; i < kMaxSenders; ++i) {
        if (g_senders[i].name[0] != '\0' && strcmp(g_senders[i].name, name) == 0) {
            g_last_hit = i;
            return &g_senders[i];
        }
    }
    return nullptr;
}

// A slot for the name: a free one, else the next in turn. Null when the name
// does not fit a slot (the bus's unique names always do); the caller then
// decides from a slot of its own each time.
Sender *new_sender(const char *name)
{
    if (strlen(name) >= sizeof g_senders[0].name)
        return nullptr;
    int slot = -1;
    for (int i = 0; i < kMaxSenders && slot < 0; ++i)
        if (g_senders[i].name[0] == '\0')
            slot = i;
    if (slot < 0) {
        slot = g_next_evict;
        g_next_evict = (g_next_evict + 1) % kMaxSenders;
    }
    Sender &s = g_senders[slot];
    s = Sender{};
    str_copy(s.name, sizeof s.name, name);
    g_last_hit = slot;
    return &s;
}

const char *kind_of(DBusMessage *message)
{
    return dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL ? "signal" : "method call";
}

const char *text_or_dash(const char *text)
{
    return text != nullptr ? text : "-";
}

// The one place where a message of a sender that may not drive the daemon
// is dropped: the first of each sender is logged, the rest go silently.
void drop_untrusted(DBusMessage *message, Sender &sender)
{
    if (sender.logged)
        return;
    sender.logged = 1;
    const char *interface = text_or_dash(dbus_message_get_interface(message));
    const char *member = text_or_dash(dbus_message_get_member(message));
    if (sender.known)
        ZLOG(ZLOG_ERR,
             "dropped %s %s.%s from bus sender %s (uid %u): only uid 0 and uid %u may drive the daemon; "
             "further messages of this sender are dropped without a log line\n",
             kind_of(message), interface, member, sender.name, sender.uid, own_uid());
    else
        ZLOG(ZLOG_ERR,
             "dropped %s %s.%s from bus sender %s: the bus did not tell its uid; "
             "further messages of this sender are dropped without a log line\n",
             kind_of(message), interface, member, sender.name);
}

} // namespace

bool ombus_sender_trusted(DBusConnection *connection, DBusMessage *message)
{
    const char *name = dbus_message_get_sender(message);
    Sender unnamed{};
    if (name == nullptr) {
        str_copy(unnamed.name, sizeof unnamed.name, "(no sender)");
        drop_untrusted(message, unnamed);
        return false;
    }
    Sender *sender = find_sender(name);
    if (sender == nullptr) {
        uint32_t uid = 0;
        bool known = g_lookup(connection, name, &uid);
        sender = new_sender(name);
        if (sender == nullptr) {
            sender = &unnamed;
            str_copy_n(unnamed.name, sizeof unnamed.name, name, sizeof unnamed.name - 1);
        }
        sender->known = known ? 1 : 0;
        sender->uid = known ? uid : 0;
        sender->trusted = known && (uid == 0 || uid == own_uid()) ? 1 : 0;
    }
    if (sender->trusted)
        return true;
    drop_untrusted(message, *sender);
    return false;
}

void ombus_sender_left(DBusMessage *message)
{
    const char *sender = dbus_message_get_sender(message);
    if (sender == nullptr || strcmp(sender, DBUS_SERVICE_DBUS) != 0)
        return;
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    ScopedDBusError error;
    if (!dbus_message_get_args(message, error.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &old_owner,
                               DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID))
        return;
    // A unique name has no new owner once its connection has left the bus.
    if (name[0] != ':' || new_owner[0] != '\0')
        return;
    if (Sender *s = find_sender(name)) {
        ZLOG(ZLOG_DEBUG, "bus sender %s left\n", name);
        *s = Sender{};
        g_last_hit = -1;
    }
}

void ombus_forget_senders()
{
    memset(g_senders, 0, sizeof g_senders);
    g_last_hit = -1;
    g_next_evict = 0;
}

void ombus_set_uid_lookup(OmbusUidLookup lookup)
{
    g_lookup = lookup != nullptr ? lookup : bus_uid_of;
}
