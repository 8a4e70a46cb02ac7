// `zelmo status [--json]`: asks the running daemon over the bus for its
// status and prints it, one item per line or as the daemon's JSON object.
#include "diag/diag.h"
#include "diag/json_text.h"
#include "platform/dbus_raii.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

constexpr int kExitNotRunning = 3;
constexpr int kCallTimeoutMs = 5000;

std::string text_of(const Json &value)
{
    return value.is_string() ? value.get<std::string>() : json_dump(value);
}

// The counts of an object of name -> count, "name n, name n".
std::string counts_of(const Json &counts)
{
    std::string out;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        out += (out.empty() ? "" : ", ") + it.key() + " " + text_of(it.value());
    return out;
}

void print_status(const Json &s)
{
    std::string out;
    auto line = [&](const std::string &text) { out += text + "\n"; };
    line("pid: " + text_of(s.at("pid")) + ", mode: " + text_of(s.at("mode")));
    line("uptime: " + text_of(s.at("uptime_seconds")) + " s");
    const Json &db = s.at("database");
    line("database: " + text_of(db.at("path")) + ", " +
         (db.at("size").is_null() ? std::string("missing") : text_of(db.at("size")) + " bytes"));
    line("devices: " + text_of(s.at("devices").at("total")));
    line("devices by Status: " + counts_of(s.at("devices").at("by_status")));
    line("devices by HostState: " + counts_of(s.at("devices").at("by_host_state")));
    line(std::string("cloud reachable: ") + (s.at("cloud_reachable").get<bool>() ? "yes" : "no"));
    const Json &session = s.at("session");
    line(session.at("open").get<bool>() ? "session: open, " + text_of(session.at("seconds_left")) + " s left"
                                        : "session: closed");
    const Json &last = s.at("last_upload");
    line(last.is_null() ? "last upload: none"
                        : "last upload: " + text_of(last.at("time")) + " " + text_of(last.at("form")) + " " +
                              text_of(last.at("result")));
    line("uploads: " + text_of(s.at("uploads").at("done")) + " done, " +
         text_of(s.at("uploads").at("failed")) + " failed");
    const Json &saves = s.at("saves");
    line("saves: " + text_of(saves.at("made")) + " made, " + text_of(saves.at("skipped")) + " skipped, " +
         text_of(saves.at("bytes_written")) + " bytes written");
    if (s.at("signals").empty())
        line("signals: none");
    for (const Json &sig : s.at("signals"))
        line("signals from " + text_of(sig.at("interface")) + ": " + text_of(sig.at("received")) +
             " received, " + text_of(sig.at("dropped")) + " dropped");
    if (s.at("capture_redirects").empty())
        line("capture redirects: none");
    for (const Json &r : s.at("capture_redirects"))
        line("capture redirect: " + text_of(r.at("mac")) + ", " + text_of(r.at("seconds_left")) + " s left");
    line("pending timers: " + text_of(s.at("pending_timers")));
    fwrite(out.data(), 1, out.size(), stdout);
}

} // namespace

int zelmo_status_command(bool json)
{
    ScopedDBusError error;
    DBusPrivateConnectionPtr connection(dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get()));
    if (!connection) {
        fprintf(stderr, "zelmo: not running\n");
        return kExitNotRunning;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    DBusMessagePtr call(dbus_message_new_method_call(ZELMO_STATUS_NAME, ZELMO_STATUS_PATH,
                                                     ZELMO_STATUS_INTERFACE, "GetStatus"));
    if (!call) {
        fprintf(stderr, "zelmo: out of memory\n");
        return 1;
    }
    DBusMessagePtr reply(
        dbus_connection_send_with_reply_and_block(connection.get(), call.get(), kCallTimeoutMs, error.get()));
    if (!reply) {
        if (strcmp(error.name(), DBUS_ERROR_SERVICE_UNKNOWN) == 0 ||
            strcmp(error.name(), DBUS_ERROR_NAME_HAS_NO_OWNER) == 0) {
            fprintf(stderr, "zelmo: not running\n");
            return kExitNotRunning;
        }
        // Refused by the bus policy or by the daemon's own sender check.
        if (strcmp(error.name(), DBUS_ERROR_ACCESS_DENIED) == 0) {
            fprintf(stderr, "zelmo: status: permission denied: only root may ask the daemon\n");
            return 1;
        }
        fprintf(stderr, "zelmo: status: %s: %s\n", error.name(), error.message());
        return 1;
    }
    const char *text = nullptr;
    if (!dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) ||
        text == nullptr) {
        fprintf(stderr, "zelmo: status: unexpected answer: %s\n", error.message());
        return 1;
    }
    if (json) {
        printf("%s\n", text);
        return 0;
    }
    try {
        print_status(Json::parse(text));
    } catch (const std::exception &e) {
        fprintf(stderr, "zelmo: status: unexpected answer: %s\n", e.what());
        return 1;
    }
    return 0;
}
