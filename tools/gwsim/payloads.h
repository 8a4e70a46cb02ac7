// Byte images of the signals and messages that the gateway's other daemons
// send to zelmo, built from readable values.
#pragma once

#include "devtable/device_record.h"
#include "tracking/tracking.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Six hexadecimal pairs separated by colons.
bool mac_valid(const std::string &mac);
// The six bytes of a valid MAC text.
bool mac_bytes(const std::string &mac, uint8_t out[6]);

// One LAN host as the simulator describes it.
struct HostSpec {
    std::string mac;
    std::string ip;
    std::string name;
    std::string iftype = "Ethernet";
    std::string friendly;
    std::string source = "DHCP";
    std::string vendor_class;
    int32_t lease = 86400;
    uint32_t instance = 0; // LAN host entry instance number (0: not chosen yet)
};
// "mac,ip,name,iftype[,friendly]"; false with the reason in err.
bool parse_host_spec(const std::string &text, HostSpec &hspec, std::string &err);

// The configuration store's LAN host entry (ObjectId 273, instance 1.<n>).
LanHostEntryObject make_entry(const HostSpec &hspec);

// The setLanhostEntry payload (also the host update of the message service).
DeviceUpdate make_host_update(const LanHostEntryObject &entry, uint32_t action, uint32_t sync,
                              const std::string &l3 = "", const std::string &ifstatus = "",
                              uint32_t ssid = 0);

// Wi-Fi association signal: the station record at offset 272.
constexpr size_t WDP_RECORD_OFFSET = 272;
constexpr size_t WDP_PAYLOAD_SIZE = WDP_RECORD_OFFSET + 4 + 32;
Bytes wdp_assoc_payload(const std::string &mac, uint8_t ssid, uint8_t status, uint8_t code);

// delLanhostEntry: the MAC text at offset 72.
constexpr size_t DEL_LANHOST_MAC_OFFSET = 72;
constexpr size_t DEL_LANHOST_SIZE = DEL_LANHOST_MAC_OFFSET + 32;
Bytes del_lanhost_payload(const std::string &mac);

// DHCP option 55: six address bytes, the option codes, a zero byte.
Bytes opt55_payload(const uint8_t mac[6], const std::vector<uint8_t> &codes);
// "1,3,6,15" -> codes; false when a value is not a number from 1 to 255.
bool parse_codes(const std::string &text, std::vector<uint8_t> &codes);

// DHCP option 43 vendor record.
struct Opt43Fields {
    std::string mac, hostname, product, vendor, oui, modelnumber, manufacturer;
};
constexpr size_t OPT43_HOSTNAME = 32, OPT43_PRODUCT = 160, OPT43_VENDOR = 288, OPT43_OUI = 672,
                 OPT43_MODELNUMBER = 800, OPT43_MANUFACTURER = 928, OPT43_SIZE = 1056;
Bytes opt43_payload(const Opt43Fields &f);

// A command text with its terminating NUL (session commands).
Bytes text_payload(const std::string &text);
// TR-069 command record: u32 kind, then the text.
Bytes tr69_payload(uint32_t kind, const std::string &text);
// notifyDeviceInterfaceUpdate: MAC at 0, "OPS" text at 64.
constexpr size_t IFACE_UPDATE_SIZE = 128;
Bytes iface_update_payload(const std::string &mac, const std::string &ops);
// notifyUpdateToZelmo: MAC at 8, guest-device text at 40, friendly name at 104.
constexpr size_t UPDATE_TO_ZELMO_SIZE = 176;
Bytes update_to_zelmo_payload(const std::string &mac, const std::string &guest, const std::string &friendly);
// setLogLevel / setLogDestination: 64-byte daemon name, u32 value.
constexpr size_t LOG_CONTROL_SIZE = 68;
Bytes log_control_payload(const std::string &name, uint32_t value);

// A fingerprint message of the message service: header (type 0x1000279e,
// payload length 2904) and a payload with objtype, action and MAC set.
DeviceUpdateMessage fingerprint_message(uint32_t objtype, uint32_t action, const std::string &mac);
struct UpnpFields {
    std::string udn, device_type, manufacturer, info, model_name, model_number, serial;
};
void set_upnp(DeviceUpdate &update, const UpnpFields &f);
void set_mdns(DeviceUpdate &update, const std::string &manufacturer, const std::string &model,
              const std::string &uuid);
void set_http(DeviceUpdate &update, const std::string &vendor, const std::string &user_agent);

// A message-service datagram: 32-byte header and the payload.
Bytes csmsg_datagram(uint32_t type, uint32_t value, const Bytes &payload, uint32_t src_app = 0);

// Hexadecimal text (spaces and colons allowed between pairs) -> bytes.
bool parse_hex(const std::string &text, Bytes &out);

template <typename T> Bytes bytes_of(const T &object)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&object);
    return Bytes(p, p + sizeof(T));
}
