// "gwsim bus start|stop|own" and "gwsim call": a private bus for the
// simulated gateway, and clients of it.
#include "args.h"
#include "bus.h"
#include "commands.h"
#include "store.h"

#include "platform/root.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

// Anyone may connect, own any name, send and receive anything: the bus of
// a simulated gateway whose daemons all run as one user.
const char kBusConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow send_type="signal"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="*"/>
  </policy>
  <limit name="max_message_size">33554432</limit>
</busconfig>
)";

std::string read_line(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

int bus_start(Args &a)
{
    if (!a.only({"dir"}))
        return fail(2, "bus start: %s", a.error().c_str());
    std::string dir = a.get("dir");
    if (dir.empty()) {
        char tmpl[] = "/tmp/gwsim-bus-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return fail(1, "mkdtemp: %s", strerror(errno));
        dir = tmpl;
    } else if (make_dirs(dir) != 0) {
        return fail(1, "cannot create %s", dir.c_str());
    }
    std::string socket = dir + "/bus.sock";
    std::string config = kBusConfig;
    config.replace(config.find("@SOCKET@"), 8, socket);
    std::string err;
    if (!write_file_atomic(dir + "/bus.conf", config.data(), config.size(), err))
        return fail(1, "%s", err.c_str());
    unlink(socket.c_str());

    int out[2];
    if (pipe(out) != 0)
        return fail(1, "pipe: %s", strerror(errno));
    std::string config_arg = "--config-file=" + dir + "/bus.conf";
    std::vector<char *> argv{const_cast<char *>("dbus-daemon"),   config_arg.data(),
                             const_cast<char *>("--fork"),        const_cast<char *>("--print-address=1"),
                             const_cast<char *>("--print-pid=1"), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "dbus-daemon", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return fail(1, "cannot start dbus-daemon: %s", strerror(rc));
    }
    std::string address = read_line(out[0]);
    std::string bus_pid = read_line(out[0]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (address.empty() || bus_pid.empty())
        return fail(1, "dbus-daemon did not start");
    std::string files = address + "\n";
    write_file_atomic(dir + "/address", files.data(), files.size(), err);
    files = bus_pid + "\n";
    write_file_atomic(dir + "/pid", files.data(), files.size(), err);
    out_line("address=%s", address.c_str());
    out_line("pid=%s", bus_pid.c_str());
    out_line("dir=%s", dir.c_str());
    return 0;
}

int bus_stop(Args &a)
{
    if (!a.only({"dir"}) || !a.has("dir"))
        return fail(2, "bus stop: give --dir of 'bus start'");
    Bytes b;
    uint32_t pid = 0;
    std::string dir = a.get("dir");
    if (!read_whole_file(dir + "/pid", b))
        return fail(1, "no bus was started in %s", dir.c_str());
    std::string text(b.begin(), b.end());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (!parse_u32(text, pid) || pid < 2)
        return fail(1, "bad pid file in %s", dir.c_str());
    if (kill(pid_t(pid), SIGTERM) != 0 && errno != ESRCH)
        return fail(1, "cannot stop %u: %s", pid, strerror(errno));
    for (const char *f : {"/pid", "/address", "/bus.conf", "/bus.sock"})
        unlink((dir + f).c_str());
    rmdir(dir.c_str());
    out_line("stopped bus %u", pid);
    return 0;
}

// Asks for a name; exit 0 when owned, 1 when not. With --hold the name is
// kept for that many seconds (or until SIGTERM).
int bus_own(Args &a)
{
    if (!a.only({"hold"}) || a.positional().size() != 2)
        return fail(2, "bus own: give the name");
    uint32_t hold = 0;
    if (!a.get_u32("hold", 0, hold))
        return fail(2, "bus own: %s", a.error().c_str());
    SimBus bus;
    if (!bus.connect())
        return fail(1, "%s", bus.error().c_str());
    if (!bus.request_name(a.positional()[1])) {
        out_line("denied %s: %s", a.positional()[1].c_str(), bus.error().c_str());
        return 1;
    }
    out_line("owned %s", a.positional()[1].c_str());
    install_stop_handlers();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(hold);
    while (!g_stop && std::chrono::steady_clock::now() < end)
        dbus_connection_read_write_dispatch(bus.get(), 100);
    return 0;
}

} // namespace

int cmd_bus(int argc, char **argv)
{
    Args a;
    if (!a.parse(argc, argv, 0))
        return fail(2, "bus: %s", a.error().c_str());
    std::string what = a.positional().empty() ? "" : a.positional()[0];
    if (what == "start" && a.positional().size() == 1)
        return bus_start(a);
    if (what == "stop" && a.positional().size() == 1)
        return bus_stop(a);
    if (what == "own")
        return bus_own(a);
    return fail(2, "bus: use start, stop or own");
}

// Calls one method of the daemon's interface with (ay, u) and prints the reply.
int cmd_call(int argc, char **argv)
{
    Args a;
    if (!a.parse(argc, argv, 0) || !a.only({"hex", "text", "value", "dest", "path", "interface"}) ||
        a.positional().size() != 1)
        return fail(2, "call: give the method name%s%s", a.error().empty() ? "" : ": ", a.error().c_str());
    Bytes payload;
    if (a.has("hex") && !parse_hex(a.get("hex"), payload))
        return fail(2, "call: bad --hex");
    if (a.has("text"))
        payload = text_payload(a.get("text"));
    uint32_t value = 0, reply = 0;
    if (!a.get_u32("value", 0, value))
        return fail(2, "call: %s", a.error().c_str());
    SimBus bus;
    if (!bus.connect())
        return fail(1, "%s", bus.error().c_str());
    if (!bus.call_bytes_u32(a.get("dest", "arvex.kvx.zelmo"), a.get("path", "/arvex/kvx/zelmo"),
                            a.get("interface", "arvex.kvx.zelmo"), a.positional()[0], payload, value,
                            reply)) {
        out_line("error %s", bus.error().c_str());
        return 1;
    }
    out_line("reply %u", reply);
    return 0;
}
