// "gwsim root init|show": prepares and shows a gateway root below ZELMO_ROOT.
#include "args.h"
#include "commands.h"
#include "records.h"
#include "store.h"

#include "platform/root.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace
{

struct RawObject {
    Bytes bytes;
    RawObject(uint32_t id, size_t size, uint8_t depth, uint32_t first) : bytes(size, 0)
    {
        CfgObjHeader h{};
        h.ObjectId.set(id);
        h.instanceId.depth = depth;
        h.instanceId.inst[0].set(first);
        memcpy(bytes.data(), &h, sizeof h);
    }
    void text(size_t offset, size_t width, const std::string &value)
    {
        str_copy(reinterpret_cast<char *>(bytes.data() + offset), width, value.c_str());
    }
};

bool write_object(const RawObject &o, std::string &err)
{
    if (!cfg_write(o.bytes.data(), o.bytes.size(), err))
        return false;
    out_line("wrote %s", cfg_file(o.bytes.data()).c_str());
    return true;
}

// A sample database: every host Active and reported, no fingerprint.
Bytes sample_database(const std::vector<LanHostEntryObject> &entries)
{
    Bytes image(64, 0);
    memcpy(image.data(), "4932", 4);
    std::string count = std::to_string(entries.size());
    memcpy(image.data() + 32, count.data(), count.size());
    timeval now{};
    gettimeofday(&now, nullptr);
    for (const auto &e : entries) {
        DeviceRecord r{};
        r.DeviceState.set(REPORT_NEW);
        r.Status.set(STATUS_ACTIVE);
        r.LastReportedTimeSec.set(int32_t(now.tv_sec));
        r.LastReportedTimeUsec.set(int32_t(now.tv_usec));
        r.lanHostEntry = e;
        r.HostState.set(REPORT_REPORTED);
        r.FingerprintType.set(FP_NONE);
        field_set(r.L3Status, "Reachable");
        bool wifi = strstr(field_text(e.InterfaceType).c_str(), "802.11") != nullptr;
        field_set(r.InterfaceStatus, wifi ? "Associated" : "Disassociated");
        Bytes b = bytes_of(r);
        image.insert(image.end(), b.begin(), b.end());
    }
    return image;
}

int root_init(Args &a)
{
    if (!a.only({"oui", "pc", "sn", "mode", "cloud-url", "user", "password", "host", "db"}))
        return fail(2, "root init: %s", a.error().c_str());
    // Everything is checked before the first file is written.
    std::string mode = a.get("mode", "RGW");
    if (mode != "RGW" && mode != "EXT")
        return fail(2, "root init: --mode must be RGW or EXT");
    std::vector<HostSpec> specs;
    for (const std::string &text : a.all("host")) {
        HostSpec hspec;
        std::string why;
        if (!parse_host_spec(text, hspec, why))
            return fail(2, "root init: %s", why.c_str());
        specs.push_back(hspec);
    }
    for (const char *dir :
         {"/configs", "/logs", "/usr/configs", "/tmp", "/var/lib/cfgstore", "/var/run/csmsg"})
        if (make_dirs(root_path(dir)) != 0)
            return fail(1, "cannot create %s", root_path(dir).c_str());
    std::string err;

    RawObject info(CFG_OID_DEVICE_INFO, CFG_SIZE_DEVICE_INFO, 1, 1);
    info.text(CFG_DEVICE_INFO_OUI, 64, a.get("oui", "A1B2C3"));
    info.text(CFG_DEVICE_INFO_PRODUCT_CLASS, 64, a.get("pc", "ZX-GW1"));
    info.text(CFG_DEVICE_INFO_SERIAL, 64, a.get("sn", "SN0001"));
    if (!write_object(info, err))
        return fail(1, "%s", err.c_str());

    RawObject wifi(CFG_OID_WIFI_SERVICE, CFG_SIZE_WIFI_SERVICE, 0, 0);
    wifi.text(CFG_WIFI_SERVICE_MODE, 32, mode);
    if (!write_object(wifi, err))
        return fail(1, "%s", err.c_str());

    if (a.has("cloud-url")) {
        RawObject profile(CFG_OID_HTTP_PROFILE, CFG_SIZE_HTTP_PROFILE, 1, 1);
        profile.text(CFG_HTTP_PROFILE_URL, 1025, a.get("cloud-url"));
        profile.text(CFG_HTTP_PROFILE_USERNAME, 257, a.get("user"));
        profile.text(CFG_HTTP_PROFILE_PASSWORD, 257, a.get("password"));
        if (!write_object(profile, err))
            return fail(1, "%s", err.c_str());
    }

    // LAN host entries: a MAC already in the store keeps its instance.
    std::vector<LanHostEntryObject> stored = cfg_lanhosts();
    uint32_t next = 1;
    for (const auto &e : stored)
        if (e.instanceId.depth == 2 && e.instanceId.inst[1].get() >= next)
            next = e.instanceId.inst[1].get() + 1;
    std::vector<LanHostEntryObject> written;
    for (HostSpec &hspec : specs) {
        hspec.instance = 0;
        for (const auto &e : stored)
            if (text_equal_nocase(e.MACAddress, hspec.mac.c_str()) && e.instanceId.depth == 2)
                hspec.instance = e.instanceId.inst[1].get();
        if (hspec.instance == 0)
            hspec.instance = next++;
        LanHostEntryObject entry = make_entry(hspec);
        if (!cfg_write(&entry, sizeof entry, err))
            return fail(1, "%s", err.c_str());
        out_line("wrote %s (%s %s %s %s)", cfg_file(&entry).c_str(), hspec.mac.c_str(), hspec.ip.c_str(),
                 hspec.name.c_str(), hspec.iftype.c_str());
        written.push_back(entry);
    }

    if (a.has("db")) {
        Bytes image = sample_database(written);
        std::string path = root_path("/configs/devices.db");
        if (!write_file_atomic(path, image.data(), image.size(), err))
            return fail(1, "%s", err.c_str());
        out_line("wrote %s (%zu devices)", path.c_str(), written.size());
    }
    return 0;
}

std::string object_text(const Bytes &b, size_t offset, size_t width)
{
    if (b.size() <= offset)
        return "";
    size_t n = std::min(width, b.size() - offset);
    return std::string(reinterpret_cast<const char *>(b.data() + offset),
                       strnlen(reinterpret_cast<const char *>(b.data() + offset), n));
}

int root_show()
{
    Bytes b;
    RawObject info(CFG_OID_DEVICE_INFO, sizeof(CfgObjHeader), 1, 1);
    if (read_whole_file(cfg_file(info.bytes.data()), b))
        out_line("identity: oui=%s pc=%s sn=%s", object_text(b, CFG_DEVICE_INFO_OUI, 64).c_str(),
                 object_text(b, CFG_DEVICE_INFO_PRODUCT_CLASS, 64).c_str(),
                 object_text(b, CFG_DEVICE_INFO_SERIAL, 64).c_str());
    else
        out_line("identity: none");
    RawObject wifi(CFG_OID_WIFI_SERVICE, sizeof(CfgObjHeader), 0, 0);
    if (read_whole_file(cfg_file(wifi.bytes.data()), b))
        out_line("mode: %s", object_text(b, CFG_WIFI_SERVICE_MODE, 32).c_str());
    else
        out_line("mode: none");
    RawObject profile(CFG_OID_HTTP_PROFILE, sizeof(CfgObjHeader), 1, 1);
    if (read_whole_file(cfg_file(profile.bytes.data()), b))
        out_line("cloud: url=%s user=%s", object_text(b, CFG_HTTP_PROFILE_URL, 1025).c_str(),
                 object_text(b, CFG_HTTP_PROFILE_USERNAME, 257).c_str());
    else
        out_line("cloud: none");
    for (const auto &e : cfg_lanhosts())
        out_line("host %u: %s %s %s %s", e.instanceId.inst[1].get(), field_text(e.MACAddress).c_str(),
                 field_text(e.IPAddress).c_str(), field_text(e.HostName).c_str(),
                 field_text(e.InterfaceType).c_str());
    return 0;
}

} // namespace

int cmd_root(int argc, char **argv)
{
    const char *root = getenv("ZELMO_ROOT");
    if (root == nullptr || root[0] == '\0')
        return fail(2, "root: give --root DIR or set ZELMO_ROOT");
    Args a;
    if (!a.parse(argc, argv, 0, {"db"}))
        return fail(2, "root: %s", a.error().c_str());
    std::string what = a.positional().empty() ? "" : a.positional()[0];
    if (what == "init" && a.positional().size() == 1)
        return root_init(a);
    if (what == "show" && a.positional().size() == 1)
        return root_show();
    return fail(2, "root: use 'root init' or 'root show'");
}
