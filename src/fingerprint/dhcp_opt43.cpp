// DHCP option 43 (vendor-specific information) reported by the DHCP server,
// already split into texts. A client not yet in the table is entered with its
// DHCP host name; the vendor texts only reach the log.
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <cstdio>
#include <cstring>

namespace
{

// The option 43 record. The manufacturer runs to the end of the sender's
// record; it is read here as a text of at most 127 characters.
struct DhcpOpt43Payload {
    char mac[32];
    char hostname[128];
    char product[128];
    char vendor[384];
    char oui[128];
    char modelnumber[128];
    char manufacturer[128];
};
static_assert(offsetof(DhcpOpt43Payload, product) == 160);
static_assert(offsetof(DhcpOpt43Payload, vendor) == 288);
static_assert(offsetof(DhcpOpt43Payload, oui) == 672);
static_assert(offsetof(DhcpOpt43Payload, modelnumber) == 800);
static_assert(offsetof(DhcpOpt43Payload, manufacturer) == 928);

// The record must reach the first byte of the manufacturer text.
constexpr uint32_t OPT43_MIN_LENGTH = offsetof(DhcpOpt43Payload, manufacturer) + 1;

} // namespace

int zelmo_processNotifyDHCPOpt43(const uint8_t *payload, uint32_t length)
{
    if (_g_isRoot == 0)
        return -1;
    ZLOG(ZLOG_INFO, "Recevied zelmo_handleNotifyDHCPOpt43 signal\n");
    if (payload == nullptr) {
        fprintf(stderr, "%s, empty buffer\n", "zelmo_processNotifyDHCPOpt43");
        fflush(stderr);
        return -1;
    }
    if (length < OPT43_MIN_LENGTH) {
        ZLOG(ZLOG_INFO, "option 43 payload of %u bytes is shorter than its record (%u); ignored\n", length,
             OPT43_MIN_LENGTH);
        return -1;
    }
    DhcpOpt43Payload received;
    copy_signal_payload(&received, sizeof received, payload, length);
    field_terminate(received.mac);
    field_terminate(received.hostname);
    field_terminate(received.product);
    field_terminate(received.vendor);
    field_terminate(received.oui);
    field_terminate(received.modelnumber);
    field_terminate(received.manufacturer);

    if (received.mac[0] == '\0' || (received.product[0] == '\0' && received.vendor[0] == '\0' &&
                                    received.modelnumber[0] == '\0' && received.manufacturer[0] == '\0')) {
        ZLOG(ZLOG_INFO, "Manditory param is NULL\n");
        return -1;
    }
    ZLOG(ZLOG_INFO,
         "mac - %s, manufacturer - %s, product - %s, modelnumber - %s ptr->oui = %s ptr->hostname - %s\n",
         received.mac, received.manufacturer, received.product, received.modelnumber, received.oui,
         received.hostname);

    int index = -1;
    if (is_newdevice(received.mac, &index) != 0) {
        LanHostEntryObject entry;
        memset(&entry, 0, sizeof entry);
        field_set(entry.MACAddress, received.mac);
        getLanHostEntryObject(&entry);
        // The host name the client itself gave in its DHCP request wins.
        if (received.hostname[0] != '\0') {
            memset(entry.HostName, 0, sizeof entry.HostName);
            str_copy(entry.HostName, 65, received.hostname);
        }
        char mac[sizeof entry.MACAddress];
        field_copy(mac, entry.MACAddress);
        update_device(mac, REPORT_NEW, STATUS_ACTIVE, FP_NONE, REPORT_NEW, 1, &entry, nullptr, "Reachable",
                      "Associated");
    }

    // objtype 0: the handler only checks the capture chain and saves.
    DeviceUpdateMessage message;
    memset(&message, 0, sizeof message);
    if (is_newdevice(received.mac, &index) == 0) {
        field_copy(message.payload.InterfaceStatus, _g_devices[index].InterfaceStatus);
        field_copy(message.payload.L3Status, _g_devices[index].L3Status);
    }
    update_device_handler(&message);
    return 0;
}
