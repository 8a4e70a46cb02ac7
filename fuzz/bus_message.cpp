// Bus messages through the bus thread's own code, without a bus: the
// signal filter with the daemon's subscription tables and the method service
// with the daemon's dispatch. The uid of a sender comes from a table here
// instead of the bus. Input: up to 8 messages, each
//   [flags][interface][member][argument count] arguments...
// flags: bit 0 method call (else signal), bits 1-2 the sender (0 root ":1.1",
// 1 the process's own uid ":1.2", 2 uid 65534 ":1.3", 3 ":1.4" whose uid the
// bus cannot tell), bit 3 no sender at all, bit 4 the bus then says the
// sender left, bit 5 no reply wanted, bit 6 addressed to the daemon.
// interface, member: an index into the lists below. An argument: [type]
// then 0 ay ([length][bytes]), 1 u (4 bytes), 2 s ([length][bytes], only if
// UTF-8), 3 y (1 byte), 4 b (1 byte).
// Checked: nothing of an untrusted sender reaches a handler or the dispatch;
// a trusted method call always reaches the dispatch.
#include "harness.h"
#include "ombus_internal.h"

#include "bus/bus.h"
#include "frame/frame.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace
{

const char *const kInterfaces[] = {
    "arvex.lanhostd",
    "arvex.log.config",
    "arvex.dhcpd",
    "arvex.meshprovdr",
    "arvex.statscollector",
    "arvex.meshCtl",
    "arvex.wdp",
    "arvex.httpd",
    "arvex.cfgmgr",
    "arvex.fp",
    "arvex.kvx.zelmo",
    "org.freedesktop.DBus",
    "org.freedesktop.DBus.Introspectable",
    "com.example.other",
};
const char *const kMembers[] = {
    "setLanhostEntry",
    "delLanhostEntry",
    "setLogLevel",
    "setLogDestination",
    "notifyDHCPOpt43",
    "notifyDHCPOpt55",
    "notifyDeviceInterfaceUpdate",
    "notifyJSONDeviceUpdate",
    "NOTIFY_TR69_COMMAND",
    "notifyWDPRootAssocDevStatus",
    "setCriticalDevice",
    "notifyUpdateToZelmo",
    "notifySessionStart",
    "notifyStatsEthPortUpdate",
    "notifyWANStatusChange",
    "notifyFPMsg",
    "NameOwnerChanged",
    "notifyDeviceAdded",
    "notifyDeviceStatusChange",
    "notifyDeviceInfoUpdate",
    "notifySyncAllDevices",
    "notifyDeviceCategoryInfo",
    "Introspect",
    "other",
};
const char *const kSenders[] = {":1.1", ":1.2", ":1.3", ":1.4"};

int g_dispatched = 0;

bool uid_of(DBusConnection *, const char *name, uint32_t *uid)
{
    if (strcmp(name, ":1.1") == 0)
        *uid = 0;
    else if (strcmp(name, ":1.2") == 0)
        *uid = uint32_t(geteuid());
    else if (strcmp(name, ":1.3") == 0)
        *uid = 65534;
    else
        return false;
    return true;
}

void recording_dispatch(const OmbusService *, OmbusCall *call, OmbusReply *reply, uint8_t *handled)
{
    ++g_dispatched;
    onArvexKvxZelmoDispatch(zelmo_service_descriptor(), call, reply, handled);
}
const OmbusService g_service = {"arvex.kvx.zelmo", recording_dispatch};

// Local messages the handlers sent; each is taken off the pipe and freed.
int drain_local()
{
    int count = 0;
    LocalMessage message{};
    pollfd p{local_pipe[0], POLLIN, 0};
    while (poll(&p, 1, 0) == 1 && read(local_pipe[0], &message, sizeof message) == ssize_t(sizeof message)) {
        free(message.payload);
        ++count;
    }
    return count;
}

struct Reader {
    const uint8_t *data;
    size_t size, at;
    bool take(size_t n) { return at + n <= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
};

// Appends the input's arguments; false when the message cannot take them.
bool append_arguments(DBusMessage *m, Reader &in)
{
    int count = in.byte() % 5;
    for (int i = 0; i < count && in.at < in.size; ++i) {
        switch (in.byte() % 5) {
        case 0: {
            size_t n = std::min<size_t>(in.byte(), in.size - in.at);
            if (!dbus_append_byte_array(m, in.data + in.at, n))
                return false;
            in.at += n;
            break;
        }
        case 1: {
            dbus_uint32_t v = 0;
            for (int b = 0; b < 4; ++b)
                v = v << 8 | in.byte();
            if (!dbus_message_append_args(m, DBUS_TYPE_UINT32, &v, DBUS_TYPE_INVALID))
                return false;
            break;
        }
        case 2: {
            size_t n = std::min<size_t>(in.byte(), in.size - in.at);
            std::string text(reinterpret_cast<const char *>(in.data + in.at), n);
            in.at += n;
            const char *p = text.c_str();
            if (strlen(p) == text.size() && dbus_validate_utf8(p, nullptr) &&
                !dbus_message_append_args(m, DBUS_TYPE_STRING, &p, DBUS_TYPE_INVALID))
                return false;
            break;
        }
        case 3: {
            unsigned char y = in.byte();
            if (!dbus_message_append_args(m, DBUS_TYPE_BYTE, &y, DBUS_TYPE_INVALID))
                return false;
            break;
        }
        default: {
            dbus_bool_t b = in.byte() & 1;
            if (!dbus_message_append_args(m, DBUS_TYPE_BOOLEAN, &b, DBUS_TYPE_INVALID))
                return false;
            break;
        }
        }
    }
    return true;
}

// The bus's word that the sender's connection left.
void sender_left(const char *name)
{
    DBusMessagePtr m(dbus_message_new_signal(DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "NameOwnerChanged"));
    const char *none = "";
    if (!m || !dbus_message_set_sender(m.get(), DBUS_SERVICE_DBUS) ||
        !dbus_message_append_args(m.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                                  &none, DBUS_TYPE_INVALID))
        fuzz_fail("bus message", "cannot build NameOwnerChanged");
    ombus_signal_filter(nullptr, m.get(), nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    ombus_set_uid_lookup(uid_of);
    // The bus is absent: the match rules fail, the tables are taken all the same.
    register_zelmo_signal();
    if (zelmo_service_descriptor() == nullptr)
        fuzz_fail("set-up", "no service descriptor");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ombus_forget_senders();
    drain_local();
    Reader in{data, size, 0};
    for (int n = 0; n < 8 && in.take(4); ++n) {
        const uint8_t flags = in.byte();
        const char *interface = kInterfaces[in.byte() % std::size(kInterfaces)];
        const char *member = kMembers[in.byte() % std::size(kMembers)];
        const bool method = flags & 1, anonymous = flags & 8;
        const int who = (flags >> 1) & 3;
        DBusMessagePtr m(method ? dbus_message_new_method_call(nullptr, "/arvex/kvx/zelmo", interface, member)
                                : dbus_message_new_signal("/arvex/fuzz", interface, member));
        if (!m || (!anonymous && !dbus_message_set_sender(m.get(), kSenders[who])) ||
            ((flags & 64) && !dbus_message_set_destination(m.get(), "arvex.kvx.zelmo")) ||
            !append_arguments(m.get(), in))
            fuzz_fail("bus message", "cannot build the message");
        dbus_message_set_no_reply(m.get(), (flags & 32) != 0);
        dbus_message_set_serial(m.get(), dbus_uint32_t(n + 1)); // as the bus hands it over
        const bool trusted = !anonymous && (who == 0 || who == 1);

        g_dispatched = 0;
        if (method)
            ombus_service_message(nullptr, m.get(), const_cast<OmbusService *>(&g_service));
        else
            ombus_signal_filter(nullptr, m.get(), nullptr);
        const int delivered = drain_local();
        if (!trusted && (delivered != 0 || g_dispatched != 0))
            fuzz_fail("bus message", "a message of an untrusted sender was acted on");
        if (trusted && method && g_dispatched != 1)
            fuzz_fail("bus message", "a trusted method call did not reach the dispatch");
        if (!method && delivered > 1)
            fuzz_fail("bus message", "one signal reached more handlers than table entries match it");
        if ((flags & 16) && !anonymous)
            sender_left(kSenders[who]);
    }
    return 0;
}
