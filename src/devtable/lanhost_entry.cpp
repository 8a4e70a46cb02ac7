// Completing a LAN host entry from the configuration store.
#include "devtable/devtable.h"
#include "platform/cfgstore.h"
#include "platform/log.h"

#include <cstring>

namespace
{
constexpr uint32_t CFG_WALK_FLAGS = 4096;
} // namespace

int getLanHostEntryObject(LanHostEntryObject *entry)
{
    if (entry == nullptr || entry->MACAddress[0] == '\0')
        return -1;

    char interfaceType[32] = {};
    bool keepInterfaceType = entry->InterfaceType[0] != '\0';
    if (keepInterfaceType)
        str_copy_n(interfaceType, sizeof interfaceType, entry->InterfaceType, sizeof entry->InterfaceType);

    LanHostEntryObject object{};
    object.ObjectId.set(CFG_OID_LANHOST);
    bool found = false;
    while (!found && cfg_getNextObj(&object, sizeof object, CFG_WALK_FLAGS) == 0) {
        if (object.ObjectId.get() != CFG_OID_LANHOST)
            break;
        if (field_eq_nocase(object.MACAddress, entry->MACAddress))
            found = cfg_getObj(&object, sizeof object, 0) == 0;
    }
    if (!found)
        return -1;

    memcpy(entry, &object, sizeof object);
    if (keepInterfaceType)
        field_set(entry->InterfaceType, interfaceType);

    // The guest marker held in the table wins over the configuration store's.
    char mac[sizeof entry->MACAddress + 1] = {};
    field_copy(mac, entry->MACAddress);
    int index = -1;
    if (is_newdevice(mac, &index) == 0)
        field_copy(entry->GuestDevice, _g_devices[index].lanHostEntry.GuestDevice);
    return 0;
}

int enter_new_device(const char *mac, const char *interfaceStatus)
{
    LanHostEntryObject entry;
    memset(&entry, 0, sizeof entry);
    field_set(entry.MACAddress, mac);
    getLanHostEntryObject(&entry);
    update_device(mac, REPORT_NEW, STATUS_ACTIVE, FP_NONE, REPORT_NEW, 1, &entry, nullptr, nullptr,
                  interfaceStatus);
    int index = -1;
    if (is_newdevice(mac, &index) != 0)
        return -1;
    return index;
}
