// The executable's one-shot command words: dumps, single-device queries,
// the critical-device list, the LED switch, the stored table (show) and the
// running daemon's status. The older words load the stored table, print, and
// end the process with status 0.
#include "devtable/devtable.h"
#include "diag/diag.h"
#include "diag/show.h"
#include "diag/text_out.h"
#include "frame/frame.h"
#include "platform/led.h"
#include "platform/log.h"
#include "platform/root.h"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr char LED_SENDER[] = "arvex.zelmo";

// Loads the stored table from the built-in database path: no option has
// been read when the command words are examined.
void load_table()
{
    std::string path = root_path("/configs/devices.db");
    if (path.size() >= sizeof _g_file)
        ZLOG(ZLOG_ERR, "database path %s longer than %zu characters\n", path.c_str(), sizeof _g_file - 1);
    field_set(_g_file, path.c_str());
    if (db_load_readonly(path.c_str(), true) != 0)
        exit(1);
}

[[noreturn]] void finish()
{
    fflush(stdout);
    fflush(stderr);
    exit(0);
}

void print_option55(const char *mac)
{
    int i = find_device(mac);
    if (i < 0 || _g_devices[i].Option55[0] == '\0')
        return;
    TextOut out;
    out.add("%.*s\n", FIELD(_g_devices[i].Option55));
    out.flush_to(stdout);
}

void print_hdd_state(const char *mac)
{
    int i = find_device(mac);
    if (i < 0)
        return;
    TextOut out;
    out.add("%d\n", _g_devices[i].HDDState.get());
    out.flush_to(stdout);
}

void print_critical(const char *mac)
{
    int32_t critical = isGetCriticalDevice(mac);
    TextOut out;
    out.add("%d", critical);
    out.flush_to(stdout);
    if (critical == 1)
        out.add("### Device set as non critical ###\n");
    else if (critical == 2)
        out.add("### Device set as critical ###\n");
    out.flush_to(stderr);
}

void switch_led(uint32_t enable)
{
    TextOut out;
    out.add(enable ? "Turn ON the LED\n" : "Turn OFF the LED\n");
    out.flush_to(stdout);
    sendLedFeatureEnableSignal(LED_SENDER, enable);
}

} // namespace

int32_t isGetCriticalDevice(const char *mac)
{
    ZLOG(ZLOG_INFO, "### %s(), Device to be get critical state: %s ###\n", "isGetCriticalDevice",
         mac ? mac : "");
    int i = find_device(mac);
    if (i < 0) {
        ZLOG(ZLOG_INFO, "### Device requested is not in the list ###\n");
        return 0;
    }
    return _g_devices[i].Critical.get();
}

void PrintGetAllCriticalDevice()
{
    ZLOG(ZLOG_INFO, "### %s() ###\n", "PrintGetAllCriticalDevice");
    if (_g_devices == nullptr)
        return;
    TextOut out;
    for (int i = 0; i < _g_device_count && i < MAX_DEVICES; ++i) {
        if (_g_devices[i].Critical.get() == 2) {
            out.add("%.*s\n", FIELD(_g_devices[i].lanHostEntry.MACAddress));
            out.flush_to(stdout);
        }
    }
}

namespace
{

constexpr char kUsage[] =
    "usage: zelmo [dumpall | dump | get MAC | getopt55 MAC | gethdd MAC | getcritical MAC | "
    "getallcritical | ledon | ledoff | status [--json] | show [MAC] [--json] | -h | options]\n";

[[noreturn]] void usage()
{
    fputs(kUsage, stderr);
    fflush(stdout);
    fflush(stderr);
    exit(2);
}

[[noreturn]] void finish_with(int status)
{
    fflush(stdout);
    fflush(stderr);
    exit(status);
}

// `status [--json]` and `show [MAC] [--json]`: the words after the command.
void run_status_word(bool show, int argc, char **argv)
{
    bool json = false;
    const char *mac = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0 && !json)
            json = true;
        else if (show && mac == nullptr && argv[i][0] != '-')
            mac = argv[i];
        else
            usage();
    }
    finish_with(show ? zelmo_show(mac, json) : zelmo_status_command(json));
}

} // namespace

void zelmo_process_dumpcommand(int argc, char **argv)
{
    if (argv == nullptr || argc < 2 || argv[1] == nullptr || argv[1][0] == '-')
        return;
    const char *word = argv[1];
    if (strcmp(word, "status") == 0 || strcmp(word, "show") == 0)
        run_status_word(strcmp(word, "show") == 0, argc, argv);
    if (argc > 3)
        usage();
    const char *mac = argc == 3 ? argv[2] : nullptr;
    auto is = [&](const char *name, int args) { return argc == args && strcmp(word, name) == 0; };

    if (is("dumpall", 2)) {
        load_table();
        zelmo_dumpall();
    } else if (is("dump", 2)) {
        load_table();
        print_device_data();
    } else if (is("get", 3)) {
        load_table();
        zelmo_dump_by_mac(mac);
    } else if (is("getopt55", 3)) {
        load_table();
        print_option55(mac);
    } else if (is("gethdd", 3)) {
        load_table();
        print_hdd_state(mac);
    } else if (is("getcritical", 3)) {
        load_table();
        print_critical(mac);
    } else if (is("getallcritical", 2)) {
        load_table();
        PrintGetAllCriticalDevice();
    } else if (is("ledon", 2)) {
        switch_led(1);
    } else if (is("ledoff", 2)) {
        switch_led(0);
    } else {
        usage();
    }
    finish();
}
