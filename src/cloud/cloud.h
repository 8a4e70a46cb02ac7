// Cloud reporting: profile, upload transport, CSV forms, full synchronisation, health check.
#pragma once

#include "devtable/device_record.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

extern char _g_URL[256];
extern char _g_Username[256];
extern char _g_Password[256];
// 1 while uploads are attempted, 0 after a failed one. Shared by the main
// thread (clears it after a failed upload, sets it on a session start) and the
// health check thread (sets it after a completed probe): a lock-free atomic
// that is only ever stored 0 or 1; the last store wins, and a lost race only
// means one more probe or one more dropped report.
extern std::atomic<int32_t> _g_cloud_reachable;

// Form part names.
inline constexpr const char CLOUD_FORM_HOST[] = "Device.Hosts.Host.{i}.";
inline constexpr const char CLOUD_FORM_UPNP[] = "Device.UPnP.Description.{i}.";
inline constexpr const char CLOUD_FORM_MDNS[] = "Device.MDNS.Description.{i}.";
inline constexpr const char CLOUD_FORM_HTTP[] = "Device.FingerPrint.Description.{i}.";
inline constexpr const char CLOUD_FORM_HEALTHCHECK[] = "Healthcheck";

// Header lines of the four forms (without their line end).
inline constexpr const char CLOUD_HEADER_HOST[] =
    "IPAddress,AddressSource,LeaseTimeRemaining,MACAddress,HostName,InterfaceType,Active,FriendlyName,Port,"
    "Critical,L3Status,InterfaceStatus,RemovalStatus";
inline constexpr const char CLOUD_HEADER_UPNP[] =
    "MACAddress,DeviceType,Manufacturer,ModelName,ModelNumber,SerialNumber,UDN";
inline constexpr const char CLOUD_HEADER_MDNS[] = "MACAddress,Manufacturer,Model,UUID";
inline constexpr const char CLOUD_HEADER_HTTP[] = "MACAddress,Option-55,VendorID,User-agent";

// Re-reads the cloud profile into _g_URL, _g_Username and _g_Password under
// the profile lock. The main and health check threads both refresh it, so
// requests never read the globals directly: they take a private copy with
// cloud_profile_refresh() (cloud/transport.h).
void update_http_profile();
// Copies source into destination with "%20" for every space and terminates
// it; destination must hold 3 * strlen(source) + 1 bytes. Returns the end of
// the written text, or source when an argument is null.
char *encode_url_spaces(const char *source, char *destination);
// Bounded form: nullptr (destination holds the empty text) when the encoded
// text needs more than size - 1 characters.
char *encode_url_spaces_n(const char *source, char *destination, size_t size);
int get_epoch_time_in_localtime(uint32_t *result);
int32_t sendToCloud(const char *data, const char *formName);

// Report forms: append to a caller-owned NUL-terminated buffer.
//
// Every header line plus one row of any form fits in CLOUD_SINGLE_FORM_SIZE
// bytes (text fields are read only up to their field widths), so a zeroed
// buffer of that size is always enough for a single-device report. The forms
// without a size argument write at most that many bytes after the existing
// text (after the start of the buffer when the header is asked for); the sized
// forms never write past size bytes of the buffer. A row that does not fit is
// not written at all (logged; the buffer keeps its previous text).
constexpr size_t CLOUD_SINGLE_FORM_SIZE = 1024;
constexpr size_t CLOUD_BULK_FORM_SIZE = 524288;

void formHostData(const LanHostEntryObject *host, char *buffer, int header, int32_t *status, int32_t port,
                  int32_t critical, const char *l3Status, const char *interfaceStatus, int32_t removal);
void formUPnPData(const char *mac, const FingerprintData *upnp, char *buffer, int header);
void formMDNSData(const char *mac, const FingerprintData *mdns, char *buffer, int header);
void formHTTPData(const char *mac, const char *option55, const FingerprintData *http, char *buffer,
                  int header);
void formHostData(const LanHostEntryObject *host, char *buffer, size_t size, int header, int32_t *status,
                  int32_t port, int32_t critical, const char *l3Status, const char *interfaceStatus,
                  int32_t removal);
void formUPnPData(const char *mac, const FingerprintData *upnp, char *buffer, size_t size, int header);
void formMDNSData(const char *mac, const FingerprintData *mdns, char *buffer, size_t size, int header);
void formHTTPData(const char *mac, const char *option55, const FingerprintData *http, char *buffer,
                  size_t size, int header);
// Writes source with a backslash before every double quote, without a
// terminator of its own (destination is zeroed beforehand). Reads at most 255
// characters of source, so it writes at most 510 bytes.
void escapeQuotes(const char *source, char *destination);

// Full synchronisation.
int sync_all_devices(int onlyUnreported);
int32_t sendAllHostsToCloud(int onlyUnreported);
int32_t sendAllDevicesToCloud(int onlyUnreported);

// Health check thread.
void zelmo_do_healthcheck();
void *zelmo_healthcheck_main(void *argument);
int zelmo_check_cloud_health();
void healthckeck_thread_join();
