// Wi-Fi association tracking: the wdp daemon's association signal becomes a
// host update carrying the SSID index as Port and the association state.
#include "devtable/devtable.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <cstring>

namespace
{

// The association record sits at offset 272 of the wdp payload; the bytes
// before it belong to the Wi-Fi daemon. A payload too short for the record
// reads as zero beyond its end.
struct WdpAssocPayload {
    uint8_t unused_0[272];
    uint8_t unused_272;
    uint8_t ssidIndex;
    uint8_t status;
    uint8_t assocCode;
    char MACAddress[32];
};
static_assert(offsetof(WdpAssocPayload, ssidIndex) == 273);
static_assert(offsetof(WdpAssocPayload, MACAddress) == 276);

constexpr uint8_t WDP_ASSOCIATED = 1;
constexpr uint8_t WDP_DISASSOCIATED = 3;

// SSIDs 0 to 4 are the 2.4 GHz band, the others the 5 GHz band.
const char *wifi_standard(uint32_t ssidIndex)
{
    return ssidIndex < 5 ? "802.11" : "802.11ac";
}

template <size_t N> void replace_field(char (&field)[N], const char *text)
{
    memset(field, 0, N);
    str_copy(field, N, text);
}

} // namespace

int zelmo_processNotifyWDPRootAssocDevStatusChange(const uint8_t *payload, uint32_t length)
{
    ZLOG(ZLOG_INFO, "##### DEVICE UPDATE MSG RECEIVED FROM WDP ######\n");
    if (_g_isRoot == 0)
        return -1;
    if (payload == nullptr) {
        ZLOG(ZLOG_INFO, "zelmo_handleNotifyWDPRootAssocDevStatusChange Received is null\n");
        return -1;
    }
    WdpAssocPayload received;
    copy_signal_payload(&received, sizeof received, payload, length);
    received.MACAddress[sizeof received.MACAddress - 1] = '\0';
    if (length <= offsetof(WdpAssocPayload, MACAddress))
        ZLOG(ZLOG_INFO, "wdp payload of %u bytes ends before the station address\n", length);
    ZLOG(ZLOG_DEBUG, "InterfaceStatus : %d\n", received.assocCode);

    DeviceUpdate update;
    memset(&update, 0, sizeof update);
    update.objtype.set(FP_HOST);
    update.action.set(received.status);
    update.SSIDIndex.set(received.ssidIndex);

    if (received.assocCode == 0 || received.assocCode == 2) {
        ZLOG(ZLOG_DEBUG, "Ignored WDP state %d\n", received.assocCode);
        return 0;
    }
    if (received.assocCode == WDP_ASSOCIATED)
        field_set(update.InterfaceStatus, "Associated");
    else if (received.assocCode == WDP_DISASSOCIATED)
        field_set(update.InterfaceStatus, "Disassociated");

    int index = -1;
    if (is_newdevice(received.MACAddress, &index) == 0)
        field_copy(update.L3Status, _g_devices[index].L3Status);

    if (received.MACAddress[0] == '\0')
        return -1;
    field_copy(update.MACAddress, received.MACAddress);
    handler_wifi_msg(&update);
    return 0;
}

void handler_wifi_msg(DeviceUpdate *update)
{
    if (update == nullptr) {
        ZLOG(ZLOG_INFO, "response is NULL\n");
        return;
    }
    char mac[sizeof update->MACAddress];
    field_copy(mac, update->MACAddress);
    const uint32_t ssid = update->SSIDIndex.get();
    ZLOG(ZLOG_DEBUG, "MACAddress = %s action = %d SSIDIndex = %d\n", mac, int(update->action.get()),
         int(ssid));
    const char *standard = wifi_standard(ssid);

    int index = -1;
    if (is_newdevice(mac, &index) != 0) {
        // A new station is only entered; the LAN host daemon's own host
        // update reports it later.
        char interfaceStatus[sizeof update->InterfaceStatus];
        field_copy(interfaceStatus, update->InterfaceStatus);
        index = enter_new_device(mac, interfaceStatus);
        if (index < 0)
            return;
        ZLOG(ZLOG_DEBUG, "New device added via wdp wifi signal. port = %d\n", int(ssid));
        DeviceRecord &record = _g_devices[index];
        record.Port.set(int32_t(ssid));
        replace_field(record.lanHostEntry.InterfaceType, standard);
        table_changed();
        return;
    }

    DeviceRecord &record = _g_devices[index];
    if (record.Port.get() != int32_t(ssid)) {
        record.Port.set(int32_t(ssid));
        table_changed();
    }
    if (strncmp(record.lanHostEntry.InterfaceType, standard, sizeof record.lanHostEntry.InterfaceType) != 0) {
        replace_field(record.lanHostEntry.InterfaceType, standard);
        table_changed();
        zelmo_setLanHostInterfaceType(mac, standard);
    }

    DeviceUpdateMessage message;
    memset(&message, 0, sizeof message);
    message.header.payloadLength.set(sizeof message.payload);
    DeviceUpdate &host = message.payload;
    host.objtype.set(FP_HOST);
    host.action.set(update->action.get());
    host.SSIDIndex.set(ssid);
    field_copy(host.InterfaceStatus, update->InterfaceStatus);
    field_copy(host.L3Status, update->L3Status);
    host.description.host = record.lanHostEntry;
    update_device_handler(&message);
}
