// Taking a received UPnP, mDNS or HTTP description into a FingerprintData
// area: each field within its own width, never past the received field.
#include "tracking/tracking.h"

#include "common/bytes.h"
#include "platform/log.h"

#include <cstring>

namespace
{

// Copies a non-empty received text of at most max_chars characters into a
// field; an empty received text leaves the field as it is.
template <size_t N> void take_text(char (&field)[N], const char *received, size_t max_chars)
{
    if (received[0] == '\0')
        return;
    memset(field, 0, N);
    str_copy_n(field, max_chars + 1 < N ? max_chars + 1 : N, received, max_chars);
}

const char *at(const uint8_t *description, size_t offset)
{
    return reinterpret_cast<const char *>(description + offset);
}

} // namespace

int convertToUPnP(const uint8_t *description, FingerprintData *fingerprint)
{
    if (description == nullptr || fingerprint == nullptr) {
        ZLOG(ZLOG_ERR, "Error return..\n");
        return -1;
    }
    UPnPData &upnp = fingerprint->upnp;
    memset(&upnp, 0, sizeof upnp);
    take_text(upnp.UDN, at(description, UPNP_DESC_UDN), 36);
    take_text(upnp.DeviceType, at(description, UPNP_DESC_DEVICE_TYPE), 255);
    take_text(upnp.Manufacturer, at(description, UPNP_DESC_MANUFACTURER), 127);
    take_text(upnp.AdditionalInfo, at(description, UPNP_DESC_ADDITIONAL_INFO), 127);
    take_text(upnp.ModelName, at(description, UPNP_DESC_MODEL_NAME), 63);
    take_text(upnp.ModelNumber, at(description, UPNP_DESC_MODEL_NUMBER), 63);
    take_text(upnp.SerialNumber, at(description, UPNP_DESC_SERIAL_NUMBER), 127);
    return 0;
}

void copyValidMDNSData(FingerprintData *fingerprint, const MDNSData *received)
{
    if (fingerprint == nullptr || received == nullptr) {
        ZLOG(ZLOG_ERR, "Error return..\n");
        return;
    }
    MDNSData &mdns = fingerprint->mdns;
    take_text(mdns.Manufacturer, received->Manufacturer, 127);
    take_text(mdns.Model, received->Model, 63);
    take_text(mdns.UUID, received->UUID, 36);
}

void copyValidHTTPData(FingerprintData *fingerprint, const HTTPData *received, const char *)
{
    if (fingerprint == nullptr || received == nullptr) {
        ZLOG(ZLOG_ERR, "Error return..\n");
        return;
    }
    HTTPData &http = fingerprint->http;
    take_text(http.VendorID, received->VendorID, 63);
    take_text(http.UserAgent, received->UserAgent, 255);
    char agent[256];
    field_copy(agent, received->UserAgent);
    ZLOG(ZLOG_DEBUG, "src->UserAgent = %s\n", agent);
}
