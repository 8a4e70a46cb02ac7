// Command-line options of the daemon.
#include "devtable/devtable.h"
#include "diag/diag.h"
#include "frame/frame.h"

#include "common/bytes.h"
#include "fingerprint/fingerprint.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <unistd.h>

namespace
{

[[noreturn]] void print_usage_and_exit(const char *program)
{
    fprintf(stderr,
            "usage:- %s -f <devices db> -s <serial> -o <oui>  -m <model> -d <debug> -l <devices db>"
            " [-b <LAN bridge>]\n",
            program);
    exit(1);
}

// Decimal number with the usual leading-number rule: text that is not a
// number gives 0.
int32_t option_number(const char *text)
{
    return int32_t(strtol(text, nullptr, 10));
}

// A network interface name as the kernel takes it: 1 to IFNAMSIZ-1 bytes,
// no '/', no white space.
bool interface_name_ok(const char *name)
{
    size_t length = strlen(name);
    if (length == 0 || length >= IFNAMSIZ)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (name[i] == '/' || isspace(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

} // namespace

void zelmo_parse_options(int argc, char **argv)
{
    const char *program = argc > 0 && argv[0] ? argv[0] : "zelmo";
    // A bad option is answered by the usage line alone, without getopt's
    // own complaint.
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, "f:s:o:m:d:l:a:r:n:b:h")) != -1) {
        switch (option) {
        case 'f':
            field_set(_g_file, optarg);
            break;
        case 'l':
            // Short dump of the given file; the remaining options are not read.
            field_set(_g_file, optarg);
            if (db_load_readonly(optarg, false) != 0)
                exit(1);
            print_device_data();
            exit(0);
        case 's':
            field_set(_g_serial, optarg);
            break;
        case 'o':
            field_set(_g_oui, optarg);
            break;
        case 'm':
            field_set(_g_model, optarg);
            break;
        case 'd':
            log_opt = option_number(optarg);
            break;
        case 'a':
            _g_add_timer = option_number(optarg);
            break;
        case 'r':
            _g_remove_timer = option_number(optarg);
            break;
        case 'n':
            _g_isRoot = option_number(optarg);
            break;
        case 'b':
            if (!interface_name_ok(optarg)) {
                fprintf(stderr,
                        "%s: -b: \"%.*s\" is no interface name (1 to %d characters, no '/' or space)\n",
                        program, IFNAMSIZ * 2, optarg, IFNAMSIZ - 1);
                exit(1);
            }
            field_set(_g_bridge, optarg);
            break;
        default: // -h, an unknown option or a missing argument
            print_usage_and_exit(program);
        }
    }
}
