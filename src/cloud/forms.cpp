// Report encoding: the CSV header lines and the row builders of the host,
// UPnP, mDNS and fingerprint forms.
#include "cloud/cloud.h"
#include "platform/log.h"

#include <cstdio>
#include <cstring>

namespace
{

// Longest texts read from the arguments: a text field of n bytes holds at
// most n - 1 characters, and nothing is read past that.
constexpr size_t kMacMax = sizeof(LanHostEntryObject::MACAddress) - 1;
constexpr size_t kOption55Max = sizeof(DeviceRecord::Option55) - 1;
constexpr size_t kStatusTextMax = 31;
constexpr size_t kNumberMax = 6;      // Port, Critical, RemovalStatus: seven-byte buffer
constexpr size_t kIntMax = 11;        // "%d" of any 32-bit value
constexpr size_t kUserAgentMax = 255; // escaped into at most twice as many bytes
constexpr size_t kEscapedMax = 2 * kUserAgentMax;

#define TEXT_MAX(type, member) (sizeof(type::member) - 1)

// Worst cases of header line plus one row, and the room they need.
constexpr size_t kHostRowMax =
    TEXT_MAX(LanHostEntryObject, IPAddress) + TEXT_MAX(LanHostEntryObject, AddressSource) + kIntMax +
    kMacMax + TEXT_MAX(LanHostEntryObject, HostName) + TEXT_MAX(LanHostEntryObject, InterfaceType) + 5 +
    TEXT_MAX(LanHostEntryObject, FriendlyName) + 3 * kNumberMax + 2 * kStatusTextMax + 12;
constexpr size_t kUPnPRowMax = kMacMax + sizeof(UPnPData::DeviceType) - 1 + sizeof(UPnPData::Manufacturer) +
                               1 + sizeof(UPnPData::ModelName) - 1 + sizeof(UPnPData::ModelNumber) - 1 +
                               sizeof(UPnPData::SerialNumber) - 1 + sizeof(UPnPData::UDN) - 1 + 6;
constexpr size_t kMDNSRowMax = kMacMax + sizeof(MDNSData::Manufacturer) - 1 + sizeof(MDNSData::Model) - 1 +
                               sizeof(MDNSData::UUID) - 1 + 3;
constexpr size_t kHTTPRowMax =
    kMacMax + kOption55Max + 2 + sizeof(HTTPData::VendorID) - 1 + 2 + kEscapedMax + 2 + 3;
static_assert(sizeof CLOUD_HEADER_HOST + kHostRowMax + 1 <= CLOUD_SINGLE_FORM_SIZE);
static_assert(sizeof CLOUD_HEADER_UPNP + kUPnPRowMax + 1 <= CLOUD_SINGLE_FORM_SIZE);
static_assert(sizeof CLOUD_HEADER_MDNS + kMDNSRowMax + 1 <= CLOUD_SINGLE_FORM_SIZE);
static_assert(sizeof CLOUD_HEADER_HTTP + kHTTPRowMax + 1 <= CLOUD_SINGLE_FORM_SIZE);
// A bulk form holds a header and a row plus line end for each of the 256 records.
static_assert(sizeof CLOUD_HEADER_HTTP + MAX_DEVICES * (kHTTPRowMax + 1) + 1 <= CLOUD_BULK_FORM_SIZE);
static_assert(sizeof CLOUD_HEADER_HOST + MAX_DEVICES * (kHostRowMax + 1) + 1 <= CLOUD_BULK_FORM_SIZE);

// Bounded appending to the caller's buffer. The text stays terminated after
// every step; once something does not fit, the writer stops, and finish()
// puts the buffer back to the text it had before the call.
struct FormWriter {
    char *buffer;
    size_t size;
    size_t start; // length of the text kept from before the call
    size_t len;
    bool full;
};

void put(FormWriter &w, const char *text, size_t n)
{
    if (w.full)
        return;
    if (n >= w.size - w.len) {
        w.full = true;
        return;
    }
    memcpy(w.buffer + w.len, text, n);
    w.len += n;
    w.buffer[w.len] = '\0';
}

bool form_begin(FormWriter &w, char *buffer, size_t size, int header, const char *header_line)
{
    w = FormWriter{buffer, size, 0, 0, false};
    if (size == 0) {
        ZLOG(ZLOG_ERR, "Error return..: form buffer has no room\n");
        return false;
    }
    if (!header) {
        w.len = w.start = strnlen(buffer, size);
        if (w.len == size) {
            ZLOG(ZLOG_ERR, "Error return..: form buffer holds no terminated text\n");
            return false;
        }
    }
    buffer[w.len] = '\0';
    if (header) {
        put(w, header_line, strlen(header_line));
        put(w, "\n", 1);
    }
    return true;
}

// Starts a row of one form on the caller's buffer. A missing input or buffer
// is logged and nothing is written.
bool form_open(FormWriter &w, bool input, char *buffer, size_t size, int header, const char *header_line)
{
    if (!input || buffer == nullptr) {
        ZLOG(ZLOG_ERR, "Error return..\n");
        return false;
    }
    return form_begin(w, buffer, size, header, header_line);
}

// At most max characters of a text; a null text is empty. Every field's
// text goes through here, and much of it comes from the LAN: a control
// character (0x00-0x1F, 0x7F) is written as a space, so no field can end a
// row or start one. Only the form's own line ends break lines.
void put_text(FormWriter &w, const char *text, size_t max)
{
    if (text == nullptr)
        return;
    size_t n = strnlen(text, max);
    put(w, text, n);
    if (w.full)
        return;
    for (char *c = w.buffer + w.len - n; c < w.buffer + w.len; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f)
            *c = ' ';
}

template <size_t N> void put_field(FormWriter &w, const char (&field)[N])
{
    put_text(w, field, N - 1);
}

void put_quoted(FormWriter &w, const char *text, size_t max)
{
    if (text_empty(text))
        return;
    put(w, "\"", 1);
    put_text(w, text, max);
    put(w, "\"", 1);
}

void put_comma(FormWriter &w)
{
    put(w, ",", 1);
}

// Each field as a further column: a comma, then the field's text.
template <typename... Fields> void put_columns(FormWriter &w, const Fields &...fields)
{
    ((put_comma(w), put_field(w, fields)), ...);
}

// A description row starts with the device's MAC address.
bool description_open(FormWriter &w, const char *mac, const FingerprintData *data, char *buffer, size_t size,
                      int header, const char *header_line)
{
    if (!form_open(w, data != nullptr, buffer, size, header, header_line))
        return false;
    put_text(w, mac, kMacMax);
    return true;
}

// "%d", cut to its first `limit` characters.
void put_int(FormWriter &w, int32_t value, size_t limit)
{
    char text[12];
    snprintf(text, limit + 1 < sizeof text ? limit + 1 : sizeof text, "%d", value);
    put(w, text, strlen(text));
}

bool form_finish(FormWriter &w, const char *form)
{
    if (!w.full)
        return true;
    w.buffer[w.start] = '\0';
    ZLOG(ZLOG_ERR, "Error return..: %s row does not fit in %zu bytes; not written\n", form, w.size);
    return false;
}

template <size_t N> bool field_is(const char (&field)[N], const char *text)
{
    size_t n = strlen(text);
    return strnlen(field, N) == n && memcmp(field, text, n) == 0;
}

size_t single_form_size(const char *buffer, int header)
{
    return (header ? 0 : strlen(buffer)) + CLOUD_SINGLE_FORM_SIZE;
}

} // namespace

void escapeQuotes(const char *source, char *destination)
{
    if (source == nullptr || destination == nullptr)
        return;
    size_t at = 0;
    for (size_t i = 0; i < kUserAgentMax && source[i] != '\0'; ++i) {
        if (source[i] == '"')
            destination[at++] = '\\';
        destination[at++] = source[i];
    }
}

void formHostData(const LanHostEntryObject *host, char *buffer, size_t size, int header, int32_t *status,
                  int32_t port, int32_t critical, const char *l3Status, const char *interfaceStatus,
                  int32_t removal)
{
    FormWriter w;
    if (!form_open(w, host != nullptr && status != nullptr, buffer, size, header, CLOUD_HEADER_HOST))
        return;
    char l3[32];
    char link[32];
    str_copy(l3, sizeof l3, text_empty(l3Status) ? "Not Reachable" : l3Status);
    str_copy(link, sizeof link, text_empty(interfaceStatus) ? "Disassociated" : interfaceStatus);
    bool ethernet = field_is(host->InterfaceType, "Ethernet");
    bool active = *status != STATUS_REMOVED && strcmp(link, "Disassociated") != 0 &&
                  !(ethernet && strcmp(l3, "Not Reachable") == 0);

    put_field(w, host->IPAddress);
    put_comma(w);
    if (host->AddressSource[0] != '\0')
        put_field(w, host->AddressSource);
    else
        put_text(w, "Static", 6);
    put_comma(w);
    put_int(w, host->LeaseTimeRemaining.get(), kIntMax);
    put_columns(w, host->MACAddress, host->HostName, host->InterfaceType);
    put_comma(w);
    put_text(w, active ? "true" : "false", 5);
    put_comma(w);
    put_field(w, host->FriendlyName);
    put_comma(w);
    if (port != 0 && !ethernet)
        put_int(w, port, kNumberMax);
    put_comma(w);
    put_int(w, critical, kNumberMax);
    put_comma(w);
    put_text(w, l3, kStatusTextMax);
    put_comma(w);
    put_text(w, link, kStatusTextMax);
    put_comma(w);
    put_int(w, removal, kNumberMax);
    if (!form_finish(w, "host"))
        return;

    // The presence value follows the reported Active column, unless removed.
    if (*status != STATUS_REMOVED)
        *status = active ? STATUS_ACTIVE : STATUS_INACTIVE;
    ZLOG(ZLOG_DEBUG, "data = %s\n", buffer);
}

void formUPnPData(const char *mac, const FingerprintData *upnp, char *buffer, size_t size, int header)
{
    FormWriter w;
    if (!description_open(w, mac, upnp, buffer, size, header, CLOUD_HEADER_UPNP))
        return;
    const UPnPData &d = upnp->upnp;
    put_columns(w, d.DeviceType);
    put_comma(w);
    put_quoted(w, d.Manufacturer, sizeof d.Manufacturer - 1);
    put_columns(w, d.ModelName, d.ModelNumber, d.SerialNumber, d.UDN);
    form_finish(w, "UPnP");
}

void formMDNSData(const char *mac, const FingerprintData *mdns, char *buffer, size_t size, int header)
{
    FormWriter w;
    if (!description_open(w, mac, mdns, buffer, size, header, CLOUD_HEADER_MDNS))
        return;
    const MDNSData &d = mdns->mdns;
    put_columns(w, d.Manufacturer, d.Model, d.UUID);
    form_finish(w, "mDNS");
}

void formHTTPData(const char *mac, const char *option55, const FingerprintData *http, char *buffer,
                  size_t size, int header)
{
    FormWriter w;
    if (!description_open(w, mac, http, buffer, size, header, CLOUD_HEADER_HTTP))
        return;
    const HTTPData &d = http->http;
    char escaped[kEscapedMax + 1] = {};
    put_comma(w);
    put_quoted(w, option55, kOption55Max);
    put_comma(w);
    put_quoted(w, d.VendorID, sizeof d.VendorID - 1);
    put_comma(w);
    if (d.UserAgent[0] != '\0') {
        // Read the user agent only within its field, then escape it.
        char agent[sizeof d.UserAgent];
        field_copy(agent, d.UserAgent);
        escapeQuotes(agent, escaped);
        put_quoted(w, escaped, kEscapedMax);
    }
    form_finish(w, "fingerprint");
}

void formHostData(const LanHostEntryObject *host, char *buffer, int header, int32_t *status, int32_t port,
                  int32_t critical, const char *l3Status, const char *interfaceStatus, int32_t removal)
{
    if (buffer != nullptr)
        formHostData(host, buffer, single_form_size(buffer, header), header, status, port, critical, l3Status,
                     interfaceStatus, removal);
    else
        formHostData(host, buffer, 0, header, status, port, critical, l3Status, interfaceStatus, removal);
}

void formUPnPData(const char *mac, const FingerprintData *upnp, char *buffer, int header)
{
    formUPnPData(mac, upnp, buffer, buffer ? single_form_size(buffer, header) : 0, header);
}

void formMDNSData(const char *mac, const FingerprintData *mdns, char *buffer, int header)
{
    formMDNSData(mac, mdns, buffer, buffer ? single_form_size(buffer, header) : 0, header);
}

void formHTTPData(const char *mac, const char *option55, const FingerprintData *http, char *buffer,
                  int header)
{
    formHTTPData(mac, option55, http, buffer, buffer ? single_form_size(buffer, header) : 0, header);
}
