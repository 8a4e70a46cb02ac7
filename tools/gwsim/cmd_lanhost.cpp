// "gwsim lanhost": the LAN host daemon stand-in. Owns "arvex.lanhostd",
// prints every notification it receives in readable form, and answers
// "UpdateZelmoDevice" by emitting "setLanhostEntry" with sync 1 for each of
// its hosts.
#include "args.h"
#include "bus.h"
#include "commands.h"
#include "records.h"
#include "store.h"

#include <cstring>

namespace
{

struct LanhostState {
    SimBus bus;
    std::vector<LanHostEntryObject> hosts;
    bool from_store = false;
    unsigned received = 0;
};

void answer_sync(LanhostState &s)
{
    std::vector<LanHostEntryObject> hosts = s.hosts;
    if (s.from_store)
        for (const auto &e : cfg_lanhosts())
            hosts.push_back(e);
    unsigned sent = 0;
    for (const auto &e : hosts) {
        DeviceUpdate u = make_host_update(e, STATUS_ACTIVE, 1);
        if (s.bus.emit("/arvex/lanhostd", "arvex.lanhostd", "setLanhostEntry", bytes_of(u)))
            ++sent;
    }
    out_line("UpdateZelmoDevice: sent setLanhostEntry sync=1 for %u host(s)", sent);
}

DBusHandlerResult on_message(DBusConnection *conn, DBusMessage *msg, void *data)
{
    auto &s = *static_cast<LanhostState *>(data);
    if (dbus_message_get_type(msg) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char *member = dbus_message_get_member(msg);
    std::string name = member ? member : "";
    ++s.received;
    if (name == "UpdateZelmoDevice") {
        answer_sync(s);
    } else {
        const uint8_t *bytes = nullptr;
        int len = 0;
        DBusMessageIter it, arr;
        if (dbus_message_iter_init(msg, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_ARRAY &&
            dbus_message_iter_get_element_type(&it) == DBUS_TYPE_BYTE) {
            dbus_message_iter_recurse(&it, &arr);
            dbus_message_iter_get_fixed_array(&arr, &bytes, &len);
            out_line("%s %s", name.c_str(), notification_text(bytes, size_t(len)).c_str());
        } else {
            out_line("%s signature=%s (no byte array)", name.c_str(), dbus_message_get_signature(msg));
        }
    }
    if (!dbus_message_get_no_reply(msg)) {
        DBusMessagePtr reply(dbus_message_new_method_return(msg));
        if (reply)
            dbus_connection_send(conn, reply.get(), nullptr);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

} // namespace

int cmd_lanhost(int argc, char **argv)
{
    Args a;
    if (!a.parse(argc, argv, 0, {"from-store"}) || !a.only({"host", "from-store", "log"}) ||
        !a.positional().empty())
        return fail(2, "lanhost: %s", a.error().empty() ? "unexpected word" : a.error().c_str());
    LanhostState s;
    s.from_store = a.has("from-store");
    uint32_t instance = 100;
    for (const std::string &text : a.all("host")) {
        HostSpec hspec;
        std::string err;
        if (!parse_host_spec(text, hspec, err))
            return fail(2, "lanhost: %s", err.c_str());
        hspec.instance = instance++;
        s.hosts.push_back(make_entry(hspec));
    }
    set_log_file(a.get("log").c_str());
    install_stop_handlers();
    if (!s.bus.connect())
        return fail(1, "%s", s.bus.error().c_str());
    if (!s.bus.request_name("arvex.lanhostd"))
        return fail(1, "cannot own arvex.lanhostd: %s", s.bus.error().c_str());
    if (!dbus_connection_add_filter(s.bus.get(), on_message, &s, nullptr))
        return fail(1, "out of memory");
    out_line("lanhostd: owning arvex.lanhostd with %zu host(s)%s", s.hosts.size(),
             s.from_store ? " and the store's entries" : "");
    while (!g_stop && dbus_connection_read_write_dispatch(s.bus.get(), 200))
        ;
    dbus_connection_remove_filter(s.bus.get(), on_message, &s);
    out_line("lanhostd: stopped after %u call(s)", s.received);
    return 0;
}
