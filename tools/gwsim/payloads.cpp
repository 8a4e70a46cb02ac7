#include "payloads.h"

#include "common/bytes.h"
#include "platform/csmsg.h"

#include <algorithm>
#include <cctype>
#include <cstring>

bool mac_valid(const std::string &mac)
{
    if (mac.size() != 17)
        return false;
    for (size_t i = 0; i < mac.size(); ++i) {
        if (i % 3 == 2) {
            if (mac[i] != ':')
                return false;
        } else if (!isxdigit(static_cast<unsigned char>(mac[i]))) {
            return false;
        }
    }
    return true;
}

bool mac_bytes(const std::string &mac, uint8_t out[6])
{
    if (!mac_valid(mac))
        return false;
    for (int i = 0; i < 6; ++i)
        out[i] = uint8_t(std::stoul(mac.substr(size_t(i) * 3, 2), nullptr, 16));
    return true;
}

bool parse_host_spec(const std::string &text, HostSpec &hspec, std::string &err)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (parts.size() < 4 || parts.size() > 5) {
        err = "host must be mac,ip,name,iftype[,friendly]: " + text;
        return false;
    }
    if (!mac_valid(parts[0])) {
        err = "not a MAC address: " + parts[0];
        return false;
    }
    hspec.mac = parts[0];
    hspec.ip = parts[1];
    hspec.name = parts[2];
    hspec.iftype = parts[3];
    if (parts.size() == 5)
        hspec.friendly = parts[4];
    return true;
}

LanHostEntryObject make_entry(const HostSpec &hspec)
{
    LanHostEntryObject e{};
    e.ObjectId.set(LANHOST_OBJECT_ID);
    e.instanceId.depth = 2;
    e.instanceId.inst[0].set(1);
    e.instanceId.inst[1].set(hspec.instance);
    field_set(e.IPAddress, hspec.ip.c_str());
    field_set(e.AddressSource, hspec.source.c_str());
    e.LeaseTimeRemaining.set(hspec.lease);
    field_set(e.MACAddress, hspec.mac.c_str());
    field_set(e.VendorClassID, hspec.vendor_class.c_str());
    field_set(e.HostName, hspec.name.c_str());
    field_set(e.InterfaceType, hspec.iftype.c_str());
    e.HostActive.set(1);
    field_set(e.FriendlyName, hspec.friendly.c_str());
    return e;
}

DeviceUpdate make_host_update(const LanHostEntryObject &entry, uint32_t action, uint32_t sync,
                              const std::string &l3, const std::string &ifstatus, uint32_t ssid)
{
    DeviceUpdate u{};
    u.objtype.set(FP_HOST);
    u.action.set(action);
    field_copy(u.MACAddress, entry.MACAddress);
    field_set(u.L3Status, l3.c_str());
    field_set(u.InterfaceStatus, ifstatus.c_str());
    u.SSIDIndex.set(ssid);
    u.sync.set(sync);
    u.description.host = entry;
    return u;
}

static void put_text(Bytes &b, size_t offset, size_t width, const std::string &text)
{
    str_copy(reinterpret_cast<char *>(b.data() + offset), width, text.c_str());
}

Bytes wdp_assoc_payload(const std::string &mac, uint8_t ssid, uint8_t status, uint8_t code)
{
    Bytes b(WDP_PAYLOAD_SIZE, 0);
    b[WDP_RECORD_OFFSET + 1] = ssid;
    b[WDP_RECORD_OFFSET + 2] = status;
    b[WDP_RECORD_OFFSET + 3] = code;
    put_text(b, WDP_RECORD_OFFSET + 4, 32, mac);
    return b;
}

Bytes del_lanhost_payload(const std::string &mac)
{
    Bytes b(DEL_LANHOST_SIZE, 0);
    put_text(b, DEL_LANHOST_MAC_OFFSET, 32, mac);
    return b;
}

Bytes opt55_payload(const uint8_t mac[6], const std::vector<uint8_t> &codes)
{
    Bytes b(6 + codes.size() + 1, 0);
    memcpy(b.data(), mac, 6);
    std::copy(codes.begin(), codes.end(), b.begin() + 6);
    return b;
}

bool parse_codes(const std::string &text, std::vector<uint8_t> &codes)
{
    codes.clear();
    if (text.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty() || item.size() > 3)
            return false;
        for (char c : item)
            if (!isdigit(static_cast<unsigned char>(c)))
                return false;
        int v = std::stoi(item);
        if (v < 1 || v > 255)
            return false;
        codes.push_back(uint8_t(v));
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

Bytes opt43_payload(const Opt43Fields &f)
{
    Bytes b(OPT43_SIZE, 0);
    put_text(b, 0, 32, f.mac);
    put_text(b, OPT43_HOSTNAME, 128, f.hostname);
    put_text(b, OPT43_PRODUCT, 128, f.product);
    put_text(b, OPT43_VENDOR, 384, f.vendor);
    put_text(b, OPT43_OUI, 128, f.oui);
    put_text(b, OPT43_MODELNUMBER, 128, f.modelnumber);
    put_text(b, OPT43_MANUFACTURER, OPT43_SIZE - OPT43_MANUFACTURER, f.manufacturer);
    return b;
}

Bytes text_payload(const std::string &text)
{
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return b;
}

Bytes tr69_payload(uint32_t kind, const std::string &text)
{
    Bytes b(4 + text.size() + 1, 0);
    store_le32(b.data(), kind);
    std::copy(text.begin(), text.end(), b.begin() + 4);
    return b;
}

Bytes iface_update_payload(const std::string &mac, const std::string &ops)
{
    Bytes b(IFACE_UPDATE_SIZE, 0);
    put_text(b, 0, 64, mac);
    put_text(b, 64, 64, ops);
    return b;
}

Bytes update_to_zelmo_payload(const std::string &mac, const std::string &guest, const std::string &friendly)
{
    Bytes b(UPDATE_TO_ZELMO_SIZE, 0);
    put_text(b, 8, 32, mac);
    put_text(b, 40, 64, guest);
    put_text(b, 104, 65, friendly);
    return b;
}

Bytes log_control_payload(const std::string &name, uint32_t value)
{
    Bytes b(LOG_CONTROL_SIZE, 0);
    put_text(b, 0, 64, name);
    store_le32(b.data() + 64, value);
    return b;
}

DeviceUpdateMessage fingerprint_message(uint32_t objtype, uint32_t action, const std::string &mac)
{
    DeviceUpdateMessage m{};
    m.header.type.set(CSMSG_TYPE_DEVICE_UPDATE);
    m.header.dstAppId.set(ZELMO_APP_ID);
    m.header.payloadLength.set(sizeof(DeviceUpdate));
    m.payload.objtype.set(objtype);
    m.payload.action.set(action);
    field_set(m.payload.MACAddress, mac.c_str());
    return m;
}

static void put_desc(DeviceUpdate &u, size_t offset, size_t width, const std::string &text)
{
    str_copy(reinterpret_cast<char *>(u.description.raw + offset), width, text.c_str());
}

void set_upnp(DeviceUpdate &u, const UpnpFields &f)
{
    put_desc(u, UPNP_DESC_UDN, 37, f.udn);
    put_desc(u, UPNP_DESC_DEVICE_TYPE, 256, f.device_type);
    put_desc(u, UPNP_DESC_MANUFACTURER, 128, f.manufacturer);
    put_desc(u, UPNP_DESC_ADDITIONAL_INFO, 128, f.info);
    put_desc(u, UPNP_DESC_MODEL_NAME, 64, f.model_name);
    put_desc(u, UPNP_DESC_MODEL_NUMBER, 64, f.model_number);
    put_desc(u, UPNP_DESC_SERIAL_NUMBER, 128, f.serial);
}

void set_mdns(DeviceUpdate &u, const std::string &manufacturer, const std::string &model,
              const std::string &uuid)
{
    put_desc(u, offsetof(MDNSData, Manufacturer), sizeof(MDNSData::Manufacturer), manufacturer);
    put_desc(u, offsetof(MDNSData, Model), sizeof(MDNSData::Model), model);
    put_desc(u, offsetof(MDNSData, UUID), sizeof(MDNSData::UUID), uuid);
}

void set_http(DeviceUpdate &u, const std::string &vendor, const std::string &user_agent)
{
    put_desc(u, offsetof(HTTPData, VendorID), 64, vendor);
    put_desc(u, offsetof(HTTPData, UserAgent), sizeof(HTTPData::UserAgent), user_agent);
}

Bytes csmsg_datagram(uint32_t type, uint32_t value, const Bytes &payload, uint32_t src_app)
{
    CsMsgHeader h{};
    h.type.set(type);
    h.srcAppId.set(src_app);
    h.dstAppId.set(ZELMO_APP_ID);
    h.value.set(value);
    h.payloadLength.set(uint32_t(payload.size()));
    Bytes b(sizeof h + payload.size(), 0);
    memcpy(b.data(), &h, sizeof h);
    std::copy(payload.begin(), payload.end(), b.begin() + sizeof h);
    return b;
}

bool parse_hex(const std::string &text, Bytes &out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\n' || c == '\t') {
            if (high >= 0)
                return false;
            continue;
        }
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
        int v = isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}
