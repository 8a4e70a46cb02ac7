// Writes a host's interface type into its LAN host entry of the
// configuration store.
#include "devtable/device_record.h"
#include "platform/cfgstore.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <cstring>

int zelmo_setLanHostInterfaceType(const char *mac, const char *interfacetype)
{
    ZLOG(ZLOG_INFO, "%s Entered!\n", "zelmo_setLanHostInterfaceType");
    if (text_empty(mac) || text_empty(interfacetype)) {
        ZLOG(ZLOG_INFO, "%s input parameter invalid!\n", "zelmo_setLanHostInterfaceType");
        return -1;
    }
    LanHostEntryObject entry;
    memset(&entry, 0, sizeof entry);
    entry.ObjectId.set(CFG_OID_LANHOST);
    while (cfg_getNextObj(&entry, sizeof entry, 4096) == 0) {
        const int stored = int(field_len(entry.MACAddress, sizeof entry.MACAddress));
        ZLOG(ZLOG_DEBUG, "mac = %s  lanhost mac = %.*s\n", mac, stored, entry.MACAddress);
        if (!field_equal_nocase(entry.MACAddress, sizeof entry.MACAddress, mac, strlen(mac) + 1))
            continue;
        ZLOG(ZLOG_INFO, "Change the InterfaceType mac = %s, interfaceType = %s\n", mac, interfacetype);
        memset(entry.InterfaceType, 0, sizeof entry.InterfaceType);
        field_set(entry.InterfaceType, interfacetype);
        if (cfg_setObj(&entry, sizeof entry, 65) != 0)
            ZLOG(ZLOG_INFO, "Failed to set the InterfaceType\n");
        return 0;
    }
    return -1;
}
