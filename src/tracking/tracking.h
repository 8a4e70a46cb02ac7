// Device state tracking: the update handler, fingerprint updates and the
// lanhost, interface and Wi-Fi signal processors.
#pragma once

#include "devtable/device_record.h"
#include "platform/csmsg.h"
#include "platform/lanhost.h"

#include <cstdint>

// Payload of a device update: exchanged between processes, fixed layout.
struct DeviceUpdate {
    le_u32 objtype; // FingerprintType numbers
    le_u32 action;  // Status numbers
    char MACAddress[32];
    uint8_t unused_40[96];
    char L3Status[64];
    char InterfaceStatus[32];
    le_u32 SSIDIndex;
    le_u32 sync;
    union {
        LanHostEntryObject host; // objtype 1
        uint8_t raw[2664];       // objtypes 2 to 4: the description
    } description;
};
static_assert(sizeof(DeviceUpdate) == 2904 && alignof(DeviceUpdate) == 1);
static_assert(offsetof(DeviceUpdate, MACAddress) == 8);
static_assert(offsetof(DeviceUpdate, L3Status) == 136);
static_assert(offsetof(DeviceUpdate, InterfaceStatus) == 200);
static_assert(offsetof(DeviceUpdate, SSIDIndex) == 232);
static_assert(offsetof(DeviceUpdate, sync) == 236);
static_assert(offsetof(DeviceUpdate, description) == 240);

// A message-service header followed by a device update payload.
struct DeviceUpdateMessage {
    CsMsgHeader header;
    DeviceUpdate payload;
};
static_assert(sizeof(DeviceUpdateMessage) == 2936);

// Offsets of the UPnP description fields within the description area.
constexpr size_t UPNP_DESC_UDN = 32;
constexpr size_t UPNP_DESC_DEVICE_TYPE = 583;
constexpr size_t UPNP_DESC_MANUFACTURER = 1226;
constexpr size_t UPNP_DESC_ADDITIONAL_INFO = 1355;
constexpr size_t UPNP_DESC_MODEL_NAME = 1876;
constexpr size_t UPNP_DESC_MODEL_NUMBER = 1941;
constexpr size_t UPNP_DESC_SERIAL_NUMBER = 2263;

void update_device_handler(DeviceUpdateMessage *message);
int convertToUPnP(const uint8_t *description, FingerprintData *fingerprint);
void copyValidMDNSData(FingerprintData *fingerprint, const MDNSData *received);
void copyValidHTTPData(FingerprintData *fingerprint, const HTTPData *received, const char *option55);

// Bus signal processors (main thread).
int zelmo_processSetLanhostEntry(const uint8_t *payload, uint32_t length);
int zelmo_processDelLanhostEntry(const uint8_t *payload, uint32_t length);
int zelmo_processNotifyDeviceInterfaceUpdate(const uint8_t *payload, uint32_t length);
int zelmo_processNotifyUpdateToZelmo(const uint8_t *payload, uint32_t length);
int zelmo_processJSONDeviceInterfaceUpdate(const uint8_t *payload, uint32_t length);
int zelmo_processFPMsg(const uint8_t *payload, uint32_t length);
int zelmo_processNotifyWDPRootAssocDevStatusChange(const uint8_t *payload, uint32_t length);
void handler_wifi_msg(DeviceUpdate *update);
int zelmo_setLanHostInterfaceType(const char *mac, const char *interfacetype);

// Copies what was received into a zero-filled record of the full size: a short
// payload reads as zero beyond its end, a long one is cut.
void copy_signal_payload(void *dst, size_t size, const uint8_t *payload, uint32_t length);

// Starts a host update message: zero-filled, with the device update header,
// the host object type, the action and the MAC text. Returns its payload.
DeviceUpdate &host_update_begin(DeviceUpdateMessage &message, uint32_t action, const char *mac);

// Fills a host update from a known device: its stored host entry and its
// interface and reachability texts.
void host_update_from_record(DeviceUpdate &update, const DeviceRecord &record);

// Events of the main loop. Between event_begin and event_end a change of the
// table is only marked; event_end saves it once and then sends the held
// notifications in their order. notify_when_saved sends a device notification
// at once when nothing is waiting to be saved (and always outside an event),
// otherwise holds a copy of the record until the event's save.
void event_begin();
void event_end();
void notify_when_saved(const DeviceRecord &record, LanHostNotifyFn notifier);
