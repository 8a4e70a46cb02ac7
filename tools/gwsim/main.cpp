// gwsim: a simulator of the gateway around the zelmo daemon.
#include "commands.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

volatile int g_stop = 0;
static int g_log_fd = -1;

static void on_stop(int)
{
    g_stop = 1;
}

void install_stop_handlers()
{
    struct sigaction sa {
    };
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int fail(int status, const char *format, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    fprintf(stderr, "gwsim: %s\n", text);
    return status;
}

void set_log_file(const char *path)
{
    if (path != nullptr && path[0] != '\0')
        g_log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void out_line(const char *format, ...)
{
    std::vector<char> text(8192);
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (size_t(n) >= text.size()) {
        text.resize(size_t(n) + 1);
        va_start(ap, format);
        vsnprintf(text.data(), text.size(), format, ap);
        va_end(ap);
    }
    std::string line(text.data(), size_t(n));
    line += '\n';
    fputs(line.c_str(), stdout);
    fflush(stdout);
    if (g_log_fd >= 0) {
        ssize_t ignored = write(g_log_fd, line.data(), line.size());
        (void)ignored;
    }
}

static void usage()
{
    fputs("usage: gwsim [--root DIR] [--bus ADDRESS] <command> ...\n"
          "  root init [--oui T --pc T --sn T --mode RGW|EXT --cloud-url URL --user T --password T]\n"
          "            [--host mac,ip,name,iftype[,friendly] ...] [--db]\n"
          "  root show\n"
          "  bus start [--dir D] | bus stop --dir D | bus own NAME [--hold SECONDS]\n"
          "  lanhost [--host HOST ...] [--from-store] [--log FILE]\n"
          "  cloud serve --dir D [--http PORT] [--https PORT] | cloud list --dir D [--since N] [--show]\n"
          "  capture [--port 8001] [--bind ADDR] [--neigh IP=MAC ...] [--log FILE]\n"
          "  emit <signal> [options]   (gwsim emit help lists the signals)\n"
          "  call <method> [--hex HEX] [--value N]\n"
          "  db [--file PATH] [--mac MAC]\n"
          "ZELMO_ROOT (or --root) selects the gateway root, DBUS_SYSTEM_BUS_ADDRESS (or --bus) the bus.\n",
          stderr);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The global options may stand anywhere; they only set the environment.
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        bool root = strcmp(argv[i], "--root") == 0, bus = strcmp(argv[i], "--bus") == 0;
        if ((root || bus) && i + 1 < argc) {
            setenv(root ? "ZELMO_ROOT" : "DBUS_SYSTEM_BUS_ADDRESS", argv[i + 1], 1);
            ++i;
            continue;
        }
        rest.push_back(argv[i]);
    }
    int n = int(rest.size());
    rest.push_back(nullptr);
    if (n < 2 || strcmp(rest[1], "-h") == 0 || strcmp(rest[1], "--help") == 0 ||
        strcmp(rest[1], "help") == 0) {
        usage();
        return n < 2 ? 2 : 0;
    }
    std::string cmd = rest[1];
    char **args = rest.data() + 2;
    int nargs = n - 2;
    if (cmd == "root")
        return cmd_root(nargs, args);
    if (cmd == "emit")
        return cmd_emit(nargs, args);
    if (cmd == "bus")
        return cmd_bus(nargs, args);
    if (cmd == "call")
        return cmd_call(nargs, args);
    if (cmd == "lanhost")
        return cmd_lanhost(nargs, args);
    if (cmd == "capture")
        return cmd_capture(nargs, args);
    if (cmd == "cloud")
        return cmd_cloud(nargs, args);
    if (cmd == "db")
        return cmd_db(nargs, args);
    usage();
    return fail(2, "unknown command: %s", cmd.c_str());
}
