// A LAN host entry object of the configuration store, as any bytes in its
// instance file: looked up by its MAC address, taken into the table by a
// host update of a new device and by one of a known device (whose host name
// differs, so the entry is refreshed from the store), rewritten with a new
// InterfaceType, and reported (the form builder reads every text member).
#include "harness.h"

#include "devtable/devtable.h"
#include "frame/frame.h"
#include "tracking/tracking.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{

std::string g_instance_path;

// The MAC text that a lookup for this object would use: its own MACAddress
// member cut to 31 characters, or a baseline MAC when that is empty.
std::string lookup_mac(const uint8_t *data, size_t size, size_t variant)
{
    constexpr size_t at = offsetof(LanHostEntryObject, MACAddress);
    std::string mac;
    for (size_t i = at; i < size && i < at + 31 && data[i] != 0; ++i)
        mac += char(data[i]);
    return mac.empty() ? fuzz_mac(unsigned(1 + variant % FUZZ_BASELINE_COUNT)) : mac;
}

void host_update(const std::string &mac, uint32_t action)
{
    DeviceUpdateMessage message;
    DeviceUpdate &update = host_update_begin(message, action, mac.c_str());
    LanHostEntryObject &entry = update.description.host;
    entry.ObjectId.set(CFG_OID_LANHOST);
    field_set(entry.MACAddress, mac.c_str());
    field_set(entry.HostName, "other-name");
    field_set(update.L3Status, action == STATUS_ACTIVE ? "Reachable" : "Not Reachable");
    field_set(update.InterfaceStatus, action == STATUS_ACTIVE ? "Associated" : "Disassociated");
    update_device_handler(&message);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init();
    g_instance_path = fuzz_cfg_path(CFG_OID_LANHOST, "2.1.9.0.0.0.0");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reset_state();
    fuzz_write_file(g_instance_path, data, size);
    const std::string mac = lookup_mac(data, size, size);

    LanHostEntryObject entry;
    memset(&entry, 0, sizeof entry);
    field_set(entry.MACAddress, mac.c_str());
    getLanHostEntryObject(&entry);

    host_update(mac, STATUS_ACTIVE);
    fuzz_check_table("host update with a stored entry");
    zelmo_setLanHostInterfaceType(mac.c_str(), "Ethernet");
    host_update(mac, STATUS_INACTIVE);
    fuzz_check_table("second host update with a stored entry");
    unlink(g_instance_path.c_str());
    return 0;
}
