// DHCP option 55 (parameter request list) fingerprints reported by the DHCP
// server: kept in the client's record as comma-separated decimal codes.
#include "bus/notify.h"
#include "cloud/cloud.h"
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"
#include "platform/lanhost.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr uint32_t OPT55_ADDRESS_BYTES = 6;
constexpr uint8_t OPT55_PAD = 255;

// Builds the list text from the codes after the address, up to the first
// zero byte or the end of the payload. The first code is always written, later
// 255s are left out. The text is cut before a code that would not fit whole
// into the record's Option55 field.
void option55_text(const uint8_t *codes, size_t count, char (&text)[sizeof DeviceRecord::Option55])
{
    memset(text, 0, sizeof text);
    size_t used = 0;
    for (size_t i = 0; i < count && codes[i] != 0; ++i) {
        if (i > 0 && codes[i] == OPT55_PAD)
            continue;
        char item[8];
        int n = snprintf(item, sizeof item, i == 0 ? "%u" : ",%u", unsigned(codes[i]));
        if (used + size_t(n) >= sizeof text)
            break;
        memcpy(text + used, item, size_t(n));
        used += size_t(n);
    }
}

// Reports the HTTP fingerprint of a record again with its new list, then
// stores the outcome and tells the LAN host daemon.
void report_http_fingerprint(int index)
{
    DeviceRecord record = _g_devices[index];
    char form[1024];
    memset(form, 0, sizeof form);
    formHTTPData(record.lanHostEntry.MACAddress, record.Option55, &record.fingerprintData, form, 1);
    const int32_t state = sendToCloud(form, "Device.FingerPrint.Description.{i}.");
    update_device(record.lanHostEntry.MACAddress, state, record.Status.get(), record.FingerprintType.get(),
                  record.HostState.get(), 1, &record.lanHostEntry, nullptr, record.L3Status,
                  record.InterfaceStatus);
    if (is_newdevice(record.lanHostEntry.MACAddress, &index) == 0)
        notify_when_saved(_g_devices[index], notifyDeviceStatusChange);
}

} // namespace

int zelmo_processNotifyDHCPOpt55(const uint8_t *payload, uint32_t length)
{
    if (_g_isRoot == 0)
        return -1;
    if (payload == nullptr) {
        fprintf(stderr, "%s, empty buffer\n", "zelmo_processNotifyDHCPOpt55");
        fflush(stderr);
        return -1;
    }
    // A payload too short for the hardware address is refused, never read past.
    if (length < OPT55_ADDRESS_BYTES) {
        ZLOG(ZLOG_INFO, "option 55 payload of %u bytes has no complete hardware address; ignored\n", length);
        return -1;
    }
    char mac[18];
    snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", payload[0], payload[1], payload[2], payload[3],
             payload[4], payload[5]);
    char list[sizeof DeviceRecord::Option55];
    option55_text(payload + OPT55_ADDRESS_BYTES, length - OPT55_ADDRESS_BYTES, list);
    ZLOG(ZLOG_INFO, "Recevied zelmo_handleNotifyDHCPOpt55 signal - mac = %s Option_55 = %s\n", mac, list);

    int index = -1;
    if (is_newdevice(mac, &index) != 0) {
        // A client first seen by its DHCP request: entered, not reported.
        index = enter_new_device(mac, nullptr);
        if (index < 0)
            return -1;
        memset(_g_devices[index].Option55, 0, sizeof _g_devices[index].Option55);
        field_copy(_g_devices[index].Option55, list);
        table_changed();
        return 0;
    }

    DeviceRecord &record = _g_devices[index];
    if (record.Option55[0] != '\0' && strncmp(record.Option55, list, sizeof record.Option55) == 0)
        return 0;
    memset(record.Option55, 0, sizeof record.Option55);
    field_copy(record.Option55, list);
    if (record.FingerprintType.get() == FP_HTTP)
        report_http_fingerprint(index);
    else
        table_changed();
    return 0;
}
