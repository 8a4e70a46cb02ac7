// Shared set-up of the fuzz targets; see harness.h.
#include "harness.h"

#include "cloud/cloud.h"
#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "platform/root.h"
#include "timers/device_timers.h"
#include "timers/timers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <sanitizer/common_interface_defs.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

std::string g_root;
DeviceRecord g_baseline[FUZZ_BASELINE_COUNT];
int g_refused_port_fd = -1;
unsigned g_refused_port = 0;

void make_dir(const std::string &path)
{
    if (make_dirs(path) != 0)
        fuzz_fail("set-up", ("cannot create " + path).c_str());
}

LanHostEntryObject lanhost(unsigned n, const char *ip, const char *hostname, const char *interfaceType)
{
    LanHostEntryObject e;
    memset(&e, 0, sizeof e);
    e.ObjectId.set(CFG_OID_LANHOST);
    e.instanceId.depth = 2;
    e.instanceId.inst[0].set(1);
    e.instanceId.inst[1].set(n);
    field_set(e.IPAddress, ip);
    field_set(e.AddressSource, "DHCP");
    e.LeaseTimeRemaining.set(86400);
    field_set(e.MACAddress, fuzz_mac(n).c_str());
    field_set(e.HostName, hostname);
    field_set(e.InterfaceType, interfaceType);
    e.HostActive.set(1);
    return e;
}

DeviceRecord record(const LanHostEntryObject &entry, int32_t status, int32_t hostState, int32_t type,
                    int32_t deviceState, const char *l3, const char *itf)
{
    DeviceRecord r;
    memset(&r, 0, sizeof r);
    r.lanHostEntry = entry;
    r.Status.set(status);
    r.HostState.set(hostState);
    r.FingerprintType.set(type);
    r.DeviceState.set(deviceState);
    r.LastReportedTimeSec.set(1700000000 + int32_t(entry.instanceId.inst[1].get()));
    field_set(r.L3Status, l3);
    field_set(r.InterfaceStatus, itf);
    return r;
}

void build_baseline()
{
    LanHostEntryObject desk = lanhost(1, "192.168.1.11", "desk", "Ethernet");
    field_set(desk.FriendlyName, "Desk");
    g_baseline[0] =
        record(desk, STATUS_ACTIVE, REPORT_REPORTED, FP_NONE, REPORT_NEW, "Reachable", "Associated");

    DeviceRecord &phone = g_baseline[1];
    phone = record(lanhost(2, "192.168.1.12", "phone", "802.11"), STATUS_ACTIVE, REPORT_REPORTED, FP_HTTP,
                   REPORT_REPORTING, "Reachable", "Associated");
    phone.Port.set(3);
    field_set(phone.Option55, "1,3,6,15");
    field_set(phone.fingerprintData.http.VendorID, "vendor");
    field_set(phone.fingerprintData.http.UserAgent, "Mozilla/5.0 (Linux; Android 14)");

    LanHostEntryObject tv_entry = lanhost(3, "192.168.1.13", "tv", "802.11ac");
    tv_entry.BehindQuillo.set(1);
    DeviceRecord &tv = g_baseline[2];
    tv = record(tv_entry, STATUS_INACTIVE, REPORT_REPORTING, FP_UPNP, REPORT_DISCOVERY, "Not Reachable",
                "Disassociated");
    tv.Port.set(6);
    field_set(tv.fingerprintData.upnp.DeviceType, "urn:schemas-upnp-org:device:MediaRenderer:1");
    field_set(tv.fingerprintData.upnp.Manufacturer, "Acme \"Vision\"");
    field_set(tv.fingerprintData.upnp.ModelName, "TV-1");
    field_set(tv.fingerprintData.upnp.UDN, "uuid:0000-1111");

    g_baseline[3] = record(lanhost(4, "", "", "802.11"), STATUS_ACTIVE, REPORT_NEW, FP_NONE, REPORT_NEW,
                           "Not Reachable", "Associated");

    DeviceRecord &speaker = g_baseline[4];
    speaker = record(lanhost(5, "192.168.1.15", "speaker", "Ethernet"), STATUS_REMOVED, REPORT_REPORTED,
                     FP_MDNS, REPORT_REPORTED, "Not Reachable", "Disassociated");
    field_set(speaker.fingerprintData.mdns.Manufacturer, "Acme");
    field_set(speaker.fingerprintData.mdns.Model, "Speaker");
}

// A port that is bound but never listens: connections to it are refused.
void reserve_refused_port()
{
    g_refused_port_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (g_refused_port_fd < 0 ||
        bind(g_refused_port_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(g_refused_port_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        fuzz_fail("set-up", "cannot reserve a refused port");
    g_refused_port = ntohs(addr.sin_port);
}

// Configuration store: gateway identity, root mode, the LAN host entries of
// two table devices (with other host names than the table) and of one
// device the table does not hold, and the cloud profile.
void write_store()
{
    std::vector<uint8_t> info(CFG_SIZE_DEVICE_INFO, 0);
    memcpy(&info[CFG_DEVICE_INFO_OUI], "A1B2C3", 6);
    memcpy(&info[CFG_DEVICE_INFO_PRODUCT_CLASS], "XS-010", 6);
    memcpy(&info[CFG_DEVICE_INFO_SERIAL], "SN 0001", 7);
    fuzz_write_file(fuzz_cfg_path(CFG_OID_DEVICE_INFO, "1.1.0.0.0.0.0"), info.data(), info.size());

    std::vector<uint8_t> wifi(CFG_SIZE_WIFI_SERVICE, 0);
    memcpy(&wifi[CFG_WIFI_SERVICE_MODE], "RGW", 4);
    fuzz_write_file(fuzz_cfg_path(CFG_OID_WIFI_SERVICE, "0.0.0.0.0.0.0"), wifi.data(), wifi.size());

    const LanHostEntryObject entries[] = {lanhost(1, "192.168.1.11", "desk-store", "Ethernet"),
                                          lanhost(3, "192.168.1.33", "tv-store", ""),
                                          lanhost(6, "192.168.1.16", "printer", "Ethernet")};
    for (const LanHostEntryObject &e : entries) {
        std::string name = "2.1." + std::to_string(e.instanceId.inst[1].get()) + ".0.0.0.0";
        fuzz_write_file(fuzz_cfg_path(CFG_OID_LANHOST, name.c_str()), &e, sizeof e);
    }

    std::vector<uint8_t> profile(CFG_SIZE_HTTP_PROFILE, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(g_refused_port) + "/report";
    memcpy(&profile[CFG_HTTP_PROFILE_URL], url.c_str(), url.size());
    fuzz_write_file(fuzz_cfg_path(CFG_OID_HTTP_PROFILE, "1.1.0.0.0.0.0"), profile.data(), profile.size());
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void remove_root()
{
    if (!g_root.empty())
        nftw(g_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool terminated(const char *field, size_t size)
{
    return memchr(field, '\0', size) != nullptr;
}

// memcmp rather than a byte loop: the fuzzer instruments every comparison
// of a loop, and the unused slots are over a megabyte.
bool record_is_zero(const DeviceRecord &r)
{
    static const DeviceRecord zero{};
    return memcmp(&r, &zero, sizeof r) == 0;
}

} // namespace

std::string fuzz_mac(unsigned n)
{
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:00:%02x", n & 0xffu);
    return mac;
}

const std::string &fuzz_root()
{
    return g_root;
}

std::string fuzz_cfg_path(uint32_t objectId, const char *instance)
{
    return g_root + "/var/lib/cfgstore/" + std::to_string(objectId) + "/" + instance;
}

void fuzz_write_file(const std::string &path, const void *data, size_t size)
{
    size_t slash = path.rfind('/');
    make_dir(path.substr(0, slash));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && (size == 0 || write(fd, data, size) == ssize_t(size));
    if (fd >= 0)
        close(fd);
    if (!ok)
        fuzz_fail("set-up", ("cannot write " + path).c_str());
}

void fuzz_fail(const char *where, const char *what)
{
    // Also through the sanitizer's report channel: the fuzzer keeps it open
    // when it closes the target's standard error (-close_fd_mask).
    char text[512];
    snprintf(text, sizeof text, "INVARIANT BROKEN after %s: %s", where, what);
    fprintf(stderr, "\n%s\n", text);
    fflush(stderr);
    __sanitizer_report_error_summary(text);
    abort();
}

void fuzz_init()
{
    const char *tmp = getenv("TMPDIR");
    std::string base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/dev/shm";
    char pattern[4096];
    snprintf(pattern, sizeof pattern, "%s/zelmo-fuzz-XXXXXX", base.c_str());
    if (mkdtemp(pattern) == nullptr) {
        snprintf(pattern, sizeof pattern, "/tmp/zelmo-fuzz-XXXXXX");
        if (mkdtemp(pattern) == nullptr)
            fuzz_fail("set-up", "cannot create a temporary root");
    }
    g_root = pattern;
    // Removed when the fuzzer exits; a crash leaves it for a look.
    std::atexit(remove_root);
    setenv("ZELMO_ROOT", g_root.c_str(), 1);
    std::string nobus = "unix:path=" + g_root + "/no-bus";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", nobus.c_str(), 1);
    make_dir(g_root + "/empty-path");
    setenv("PATH", (g_root + "/empty-path").c_str(), 1);
    for (const char *dir : {"/configs", "/logs", "/usr/configs", "/tmp"})
        make_dir(g_root + dir);

    // Log lines go to standard error at the highest level, so every format
    // of every path runs (scripts/fuzz.sh closes the descriptor).
    cslibLog_init(ZELMO_APP_ID);
    cslibLog_setDestination(1);
    cslibLog_setLevel(ZLOG_DEBUG);

    if (devtable_alloc() != 0)
        fuzz_fail("set-up", "no table");
    field_set(_g_file, root_path("/configs/devices.db").c_str());
    _g_isRoot = 1;
    _g_add_timer = 3600; // no capture step during an input
    build_baseline();
    reserve_refused_port();
    fuzz_restore_store();
    if (zelmo_create_local_unix_socket() != 0)
        fuzz_fail("set-up", "no local pipe");
    fcntl(local_pipe[0], F_SETFL, fcntl(local_pipe[0], F_GETFL) | O_NONBLOCK);
    fcntl(signal_pipe[0], F_SETFL, fcntl(signal_pipe[0], F_GETFL) | O_NONBLOCK);
    fuzz_reset_state();
}

void fuzz_reset_state()
{
    // Timers of the last input go with its records.
    for (int i = 0; i < _g_device_count && i < MAX_DEVICES; ++i)
        if (uint32_t timer = _g_devices[i].timer.get(); timer != 0)
            change_timer(timer, 0);
    zelmo_stop_cloud_session_timer();
    if (timer_slots_in_use() != 0)
        fuzz_fail("reset", "a timer outlived its record (timer leak)");
    uint32_t expired;
    while (read(signal_pipe[0], &expired, sizeof expired) > 0) {
    }

    memset(_g_devices, 0, MAX_DEVICES * sizeof(DeviceRecord));
    memcpy(_g_devices, g_baseline, sizeof g_baseline);
    _g_device_count = FUZZ_BASELINE_COUNT;
    _g_isRoot = 1;
    _g_cloud_reachable = 1;
    log_opt = 0;
    cslibLog_setDestination(1);
    cslibLog_setLevel(ZLOG_DEBUG);
    if (update_db() != 0)
        fuzz_fail("reset", "cannot write the database");
}

void fuzz_restore_store()
{
    write_store();
    zelmo_read_args();
    if (_g_isRoot != 1)
        fuzz_fail("set-up", "the store does not say root mode");
}

bool fuzz_deliver_local(uint32_t type, const uint8_t *data, size_t size)
{
    if (size > UINT32_MAX - 1)
        return false;
    if (zelmo_send_to_localfd(type, data, uint32_t(size)) != 0)
        return false;
    pollfd p{local_pipe[0], POLLIN, 0};
    if (poll(&p, 1, 0) != 1)
        return false;
    zelmo_process_localunix_msg(local_pipe[0]);
    return true;
}

void fuzz_check_table(const char *where)
{
    if (_g_device_count < 0 || _g_device_count > MAX_DEVICES)
        fuzz_fail(where, "device count out of 0..256");
    const int count = _g_device_count;
    for (int i = 0; i < count; ++i) {
        const DeviceRecord &r = _g_devices[i];
        const char *mac = r.lanHostEntry.MACAddress;
        if (!terminated(mac, sizeof r.lanHostEntry.MACAddress) || mac[0] == '\0')
            fuzz_fail(where, "a used record has an empty or unterminated MAC address");
        if (!terminated(r.L3Status, sizeof r.L3Status) || r.L3Status[0] == '\0')
            fuzz_fail(where, "L3Status empty or unterminated");
        if (!terminated(r.InterfaceStatus, sizeof r.InterfaceStatus) || r.InterfaceStatus[0] == '\0')
            fuzz_fail(where, "InterfaceStatus empty or unterminated");
        if (!terminated(r.Option55, sizeof r.Option55))
            fuzz_fail(where, "Option55 unterminated");
        if (!terminated(r.lanHostEntry.InterfaceType, sizeof r.lanHostEntry.InterfaceType))
            fuzz_fail(where, "InterfaceType unterminated");
        for (int j = 0; j < i; ++j)
            if (strcasecmp(mac, _g_devices[j].lanHostEntry.MACAddress) == 0)
                fuzz_fail(where, "two records share a MAC address");
    }
    for (int i = count; i < MAX_DEVICES; ++i)
        if (!record_is_zero(_g_devices[i]))
            fuzz_fail(where, "an unused slot behind the used records is not empty");

    // Every change has been saved: the file holds exactly the table.
    std::string path(_g_file);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fuzz_fail(where, "the database file is missing");
    struct stat st {
    };
    fstat(fd, &st);
    const size_t expected = 64 + size_t(count) * sizeof(DeviceRecord);
    std::vector<uint8_t> file(expected + 1);
    ssize_t got = st.st_size == off_t(expected) ? pread(fd, file.data(), expected, 0) : -1;
    close(fd);
    if (got != ssize_t(expected))
        fuzz_fail(where, "the database file length is not 64 + 4932 x count");
    char header[64] = {};
    snprintf(header, 32, "4932");
    snprintf(header + 32, 32, "%d", count);
    if (memcmp(file.data(), header, sizeof header) != 0)
        fuzz_fail(where, "the database file headers do not match the table");
    if (memcmp(file.data() + 64, _g_devices, expected - 64) != 0)
        fuzz_fail(where, "a change of the table was not saved to the database file");
}
