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

void update_http_profile();
char *encode_url_spaces(const char *source, char *destination);
int get_epoch_time_in_localtime(uint32_t *result);
int32_t sendToCloud(const char *data, const char *formName);

// Report forms: append to a caller-owned NUL-terminated buffer.
void formHostData(const LanHostEntryObject *host, char *buffer, int header, int32_t *status, int32_t port,
                  int32_t critical, const char *l3Status, const char *interfaceStatus, int32_t removal);
void formUPnPData(const char *mac, const FingerprintData *upnp, char *buffer, int header);
void formMDNSData(const char *mac, const FingerprintData *mdns, char *buffer, int header);
void formHTTPData(const char *mac, const char *option55, const FingerprintData *http, char *buffer, int header);
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
