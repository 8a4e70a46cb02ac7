// The device record: one fixed-size entry of the device table, the unit of
// the database file and the payload of the LAN host daemon notifications.
//
// This is a file and wire format. Every member is a byte array or a
// little-endian field of alignment 1, so the struct has no padding and the
// same bytes on every host; the offsets are pinned below.
#pragma once

#include "common/bytes.h"
#include "platform/cfgstore.h"

#include <cstddef>
#include <cstdint>

// Presence of a device (record field Status, payload field action).
enum Status : int32_t { STATUS_INACTIVE = 0, STATUS_ACTIVE = 1, STATUS_REMOVED = 2 };

// Reporting state of the host row (HostState) and the description (DeviceState).
enum ReportState : int32_t {
    REPORT_NEW = 0,
    REPORT_DISCOVERY = 1,
    REPORT_REPORTING = 2,
    REPORT_NODATA = 3,
    REPORT_REPORTED = 4,
};

// Which description FingerprintData holds; also the payload's objtype.
enum FingerprintType : int32_t { FP_NONE = 0, FP_HOST = 1, FP_UPNP = 2, FP_MDNS = 3, FP_HTTP = 4 };

constexpr int MAX_DEVICES = 256;
constexpr size_t DEVICE_RECORD_SIZE = 4932;
constexpr uint32_t LANHOST_OBJECT_ID = 273;


// The configuration store's LAN host entry object (ObjectId 273). Bytes the
// daemon does not interpret are kept in the opaque arrays and carried unchanged.
struct LanHostEntryObject {
    le_u32 ObjectId;
    InstanceId instanceId;
    char IPAddress[33];
    char AddressSource[33];
    le_i32 LeaseTimeRemaining;
    char MACAddress[32];
    uint8_t opaque_134[258];
    char VendorClassID[257];
    char HostName[256];
    uint8_t opaque_905[323];
    char InterfaceType[33];
    le_i32 HostActive;
    uint8_t opaque_1265[41];
    char FriendlyName[65];
    char GuestDevice[65];
    le_i32 BehindQuillo;
};
static_assert(sizeof(LanHostEntryObject) == 1440 && alignof(LanHostEntryObject) == 1);
static_assert(offsetof(LanHostEntryObject, instanceId) == 4);
static_assert(offsetof(LanHostEntryObject, IPAddress) == 32);
static_assert(offsetof(LanHostEntryObject, AddressSource) == 65);
static_assert(offsetof(LanHostEntryObject, LeaseTimeRemaining) == 98);
static_assert(offsetof(LanHostEntryObject, MACAddress) == 102);
static_assert(offsetof(LanHostEntryObject, VendorClassID) == 392);
static_assert(offsetof(LanHostEntryObject, HostName) == 649);
static_assert(offsetof(LanHostEntryObject, InterfaceType) == 1228);
static_assert(offsetof(LanHostEntryObject, HostActive) == 1261);
static_assert(offsetof(LanHostEntryObject, FriendlyName) == 1306);
static_assert(offsetof(LanHostEntryObject, GuestDevice) == 1371);
static_assert(offsetof(LanHostEntryObject, BehindQuillo) == 1436);

struct UPnPData {
    char DeviceType[256];
    char Manufacturer[128];
    char ModelName[64];
    char ModelNumber[64];
    char SerialNumber[128];
    char UDN[37];
    char AdditionalInfo[128];
};
static_assert(sizeof(UPnPData) == 805);
static_assert(offsetof(UPnPData, Manufacturer) == 256 && offsetof(UPnPData, ModelName) == 384);
static_assert(offsetof(UPnPData, ModelNumber) == 448 && offsetof(UPnPData, SerialNumber) == 512);
static_assert(offsetof(UPnPData, UDN) == 640 && offsetof(UPnPData, AdditionalInfo) == 677);

struct MDNSData {
    char Manufacturer[128];
    char Model[64];
    char UUID[37];
};
static_assert(sizeof(MDNSData) == 229 && offsetof(MDNSData, Model) == 128 && offsetof(MDNSData, UUID) == 192);

struct HTTPData {
    char VendorID[68];
    char UserAgent[256];
};
static_assert(sizeof(HTTPData) == 324 && offsetof(HTTPData, UserAgent) == 68);

// The 808-byte description area, read through the view its FingerprintType selects.
union FingerprintData {
    UPnPData upnp;
    MDNSData mdns;
    HTTPData http;
    uint8_t raw[808];
};
static_assert(sizeof(FingerprintData) == 808 && alignof(FingerprintData) == 1);

struct DeviceRecord {
    le_i32 DeviceState;          // ReportState of the description
    le_i32 Status;               // Status
    le_i32 LastReportedTimeSec;  // seconds since the epoch
    le_i32 LastReportedTimeUsec; // microseconds of the same instant
    le_i32 Port;                 // SSID index, 0 when unknown
    LanHostEntryObject lanHostEntry;
    le_i32 HostState;       // ReportState of the host row
    le_i32 FingerprintType; // FingerprintType
    char Option55[258];
    char L3Status[32];
    char InterfaceStatus[32];
    uint8_t padding_1790[2];
    le_u32 timer; // capture timer identifier, 0 when none
    le_i32 TimerStage;
    FingerprintData fingerprintData;
    uint8_t reserved_2608[2056];
    le_i32 Critical;
    le_i32 CriticalSetInterface;
    uint8_t reserved_4672[256];
    le_i32 HDDState;
};
static_assert(sizeof(DeviceRecord) == DEVICE_RECORD_SIZE && alignof(DeviceRecord) == 1);
static_assert(offsetof(DeviceRecord, Status) == 4);
static_assert(offsetof(DeviceRecord, LastReportedTimeSec) == 8);
static_assert(offsetof(DeviceRecord, LastReportedTimeUsec) == 12);
static_assert(offsetof(DeviceRecord, Port) == 16);
static_assert(offsetof(DeviceRecord, lanHostEntry) == 20);
static_assert(offsetof(DeviceRecord, HostState) == 1460);
static_assert(offsetof(DeviceRecord, FingerprintType) == 1464);
static_assert(offsetof(DeviceRecord, Option55) == 1468);
static_assert(offsetof(DeviceRecord, L3Status) == 1726);
static_assert(offsetof(DeviceRecord, InterfaceStatus) == 1758);
static_assert(offsetof(DeviceRecord, timer) == 1792);
static_assert(offsetof(DeviceRecord, TimerStage) == 1796);
static_assert(offsetof(DeviceRecord, fingerprintData) == 1800);
static_assert(offsetof(DeviceRecord, reserved_2608) == 2608);
static_assert(offsetof(DeviceRecord, Critical) == 4664);
static_assert(offsetof(DeviceRecord, CriticalSetInterface) == 4668);
static_assert(offsetof(DeviceRecord, reserved_4672) == 4672);
static_assert(offsetof(DeviceRecord, HDDState) == 4928);

// Print names of the enumerations; any other value prints as "".
const char *report_state_name(int32_t v);
const char *status_name(int32_t v);
const char *fingerprint_type_name(int32_t v);
