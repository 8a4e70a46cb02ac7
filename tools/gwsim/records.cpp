#include "records.h"

#include "common/bytes.h"

#include <cstring>

static std::string fingerprint_text(const DeviceRecord &r)
{
    const FingerprintData &f = r.fingerprintData;
    switch (r.FingerprintType.get()) {
    case FP_UPNP:
        return "upnp{type=" + field_text(f.upnp.DeviceType) + ",mfr=" + field_text(f.upnp.Manufacturer) +
               ",model=" + field_text(f.upnp.ModelName) + ",no=" + field_text(f.upnp.ModelNumber) +
               ",serial=" + field_text(f.upnp.SerialNumber) + ",udn=" + field_text(f.upnp.UDN) + "}";
    case FP_MDNS:
        return "mdns{mfr=" + field_text(f.mdns.Manufacturer) + ",model=" + field_text(f.mdns.Model) +
               ",uuid=" + field_text(f.mdns.UUID) + "}";
    case FP_HTTP:
        return "http{vendor=" + field_text(f.http.VendorID) + ",ua=" + field_text(f.http.UserAgent) + "}";
    default:
        return "";
    }
}

std::string record_line(const DeviceRecord &r)
{
    const LanHostEntryObject &e = r.lanHostEntry;
    std::string line = field_text(e.MACAddress) + " " + status_name(r.Status.get()) +
                       " host=" + report_state_name(r.HostState.get()) +
                       " desc=" + report_state_name(r.DeviceState.get()) +
                       " type=" + fingerprint_type_name(r.FingerprintType.get()) +
                       " stage=" + std::to_string(r.TimerStage.get()) + " l3=\"" + field_text(r.L3Status) +
                       "\" if=" + field_text(r.InterfaceStatus) + " iftype=" + field_text(e.InterfaceType) +
                       " ip=" + field_text(e.IPAddress) + " name=" + field_text(e.HostName);
    if (r.Port.get() != 0)
        line += " port=" + std::to_string(r.Port.get());
    if (r.lanHostEntry.FriendlyName[0] != '\0')
        line += " friendly=" + field_text(e.FriendlyName);
    if (r.Option55[0] != '\0')
        line += " opt55=" + field_text(r.Option55);
    std::string fp = fingerprint_text(r);
    if (!fp.empty())
        line += " data=" + fp;
    return line;
}

std::string notification_text(const uint8_t *data, size_t size)
{
    if (size < 4)
        return "malformed: " + std::to_string(size) + " bytes";
    uint32_t count = load_le32(data);
    std::string text = "len=" + std::to_string(size) + " count=" + std::to_string(count);
    size_t room = (size - 4) / sizeof(DeviceRecord);
    if (count > room)
        text += " (only " + std::to_string(room) + " records fit)";
    for (size_t i = 0; i < count && i < room; ++i) {
        DeviceRecord r;
        memcpy(&r, data + 4 + i * sizeof r, sizeof r);
        text += " | " + record_line(r);
    }
    return text;
}

bool database_lines(const Bytes &image, std::vector<std::string> &lines, std::string &err)
{
    lines.clear();
    if (image.size() < 64) {
        err = "not a device database: " + std::to_string(image.size()) + " bytes";
        return false;
    }
    std::string size_text(reinterpret_cast<const char *>(image.data()),
                          strnlen((const char *)image.data(), 32));
    std::string count_text(reinterpret_cast<const char *>(image.data() + 32),
                           strnlen((const char *)image.data() + 32, 32));
    if (size_text != "4932") {
        err = "record size header is \"" + size_text + "\", not 4932";
        return false;
    }
    size_t fit = (image.size() - 64) / sizeof(DeviceRecord);
    lines.push_back("devices=" + count_text + " records_in_file=" + std::to_string(fit));
    for (size_t i = 0; i < fit; ++i) {
        DeviceRecord r;
        memcpy(&r, image.data() + 64 + i * sizeof r, sizeof r);
        lines.push_back(record_line(r));
    }
    return true;
}
