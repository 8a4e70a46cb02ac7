// Placeholders for operations not built yet; each moves out as it is implemented.
#include "cloud/cloud.h"
#include "platform/log.h"
std::atomic<int32_t> _g_cloud_reachable{1};
int32_t sendToCloud(const char *, const char *) { return REPORT_REPORTING; }
void formHostData(const LanHostEntryObject *, char *, int, int32_t *, int32_t, int32_t, const char *, const char *, int32_t) {}
void formUPnPData(const char *, const FingerprintData *, char *, int) {}
void formMDNSData(const char *, const FingerprintData *, char *, int) {}
void formHTTPData(const char *, const char *, const FingerprintData *, char *, int) {}
int sync_all_devices(int) { return -1; }
void zelmo_do_healthcheck() {}
