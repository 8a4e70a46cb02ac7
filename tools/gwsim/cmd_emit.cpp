// "gwsim emit <signal>": sends one signal of a sibling daemon on the bus, or
// one message of the message service, built from readable arguments.
#include "args.h"
#include "bus.h"
#include "commands.h"
#include "store.h"

#include "platform/csmsg.h"

#include <cstring>

namespace
{

struct Route {
    const char *path;
    const char *interface;
    const char *member;
};

const Route kLanhostSet{"/arvex/lanhostd", "arvex.lanhostd", "setLanhostEntry"};
const Route kLanhostDel{"/arvex/lanhostd", "arvex.lanhostd", "delLanhostEntry"};
const Route kWdpAssoc{"/arvex/wdp", "arvex.wdp", "notifyWDPRootAssocDevStatus"};
const Route kOpt55{"/arvex/dhcpd", "arvex.dhcpd", "notifyDHCPOpt55"};
const Route kOpt43{"/arvex/dhcpd", "arvex.dhcpd", "notifyDHCPOpt43"};
const Route kSession{"/arvex/cfgmgr", "arvex.cfgmgr", "notifySessionStart"};
const Route kTr69{"/arvex/meshCtl", "arvex.meshCtl", "NOTIFY_TR69_COMMAND"};
const Route kWan{"/arvex/cfgmgr", "arvex.cfgmgr", "notifyWANStatusChange"};
const Route kEthPort{"/arvex/statscollector", "arvex.statscollector", "notifyStatsEthPortUpdate"};
const Route kUpdateToZelmo{"/arvex/cfgmgr", "arvex.cfgmgr", "notifyUpdateToZelmo"};
const Route kCritical{"/arvex/httpd", "arvex.httpd", "setCriticalDevice"};
const Route kJson{"/arvex/statscollector", "arvex.statscollector", "notifyJSONDeviceUpdate"};
const Route kFpMsg{"/arvex/fp", "arvex.fp", "notifyFPMsg"};
const Route kLogLevel{"/arvex/log/config", "arvex.log.config", "setLogLevel"};
const Route kLogDest{"/arvex/log/config", "arvex.log.config", "setLogDestination"};

const char kHelp[] =
    "signals (bus):\n"
    "  lanhost --mac M --ip A --name N [--iftype Ethernet] [--action 1] [--sync 0] [--friendly F]\n"
    "          [--source DHCP] [--lease S] [--vendor-class V] [--l3 T] [--ifstatus T] [--ssid N] [--store]\n"
    "  lanhost-del --mac M\n"
    "  wifi-assoc --mac M [--ssid 1] [--status 1] [--code 1] [--disassoc]\n"
    "  dhcp-opt55 --mac M --opts 1,3,6,15\n"
    "  dhcp-opt43 --mac M [--hostname --product --vendor --oui --model-number --manufacturer]\n"
    "  session-start [--timeout N] [--mobile] [--via tr69]\n"
    "  session-stop [--mobile] [--via tr69]\n"
    "  session-cmd --text T [--via tr69] [--kind 1]\n"
    "  wan-status | eth-port\n"
    "  iface-update --mac M [--ops T] [--from meshprovdr|statscollector]\n"
    "  update-to-zelmo --mac M [--friendly F] [--guest G]\n"
    "  critical --mac M | json-update [--text T] | fp-msg [--text T]\n"
    "  log-level N [--name zelmo] [--via bus|csmsg] | log-destination N [--name zelmo]\n"
    "  raw --interface I --member M [--path P] [--dest NAME] [--repeat N] (--hex HEX | --text T)\n"
    "messages (message service, to $ZELMO_ROOT/var/run/csmsg/161.sock):\n"
    "  fingerprint upnp --mac M [--device-type --manufacturer --model-name --model-number --serial --udn "
    "--info]\n"
    "  fingerprint mdns --mac M [--manufacturer --model --uuid]\n"
    "  fingerprint http --mac M [--vendor V] [--user-agent UA]\n"
    "  fingerprint host (the lanhost options)   all with [--action 1]\n";

int send_bus(const Route &r, const Bytes &payload, const std::string &destination = "", uint32_t times = 1)
{
    SimBus bus;
    if (!bus.connect())
        return fail(1, "%s", bus.error().c_str());
    for (uint32_t i = 0; i < times; ++i)
        if (!bus.emit(r.path, r.interface, r.member, payload, destination))
            return fail(1, "%s", bus.error().c_str());
    out_line("sent %s.%s (%zu bytes)", r.interface, r.member, payload.size());
    return 0;
}

int send_message(const Bytes &datagram, const char *what)
{
    std::string err;
    if (!csmsg_send(datagram, err))
        return fail(1, "%s", err.c_str());
    out_line("sent %s message (%zu bytes)", what, datagram.size());
    return 0;
}

bool need_mac(Args &a, std::string &mac)
{
    mac = a.get("mac");
    return a.has("mac");
}

// The message for a failed option check: the parser's reason, or the missing MAC.
int bad_options(const Args &a)
{
    return fail(2, "emit: %s", a.error().empty() ? "--mac is required" : a.error().c_str());
}

// The host update of the lanhost options (setLanhostEntry or a message).
bool host_update(Args &a, DeviceUpdate &u, bool &store, LanHostEntryObject &entry)
{
    std::string err;
    HostSpec hspec;
    if (a.has("host")) {
        if (!parse_host_spec(a.get("host"), hspec, err))
            return fail(2, "emit: %s", err.c_str()), false;
    } else {
        hspec.mac = a.get("mac");
        hspec.ip = a.get("ip");
        hspec.name = a.get("name");
    }
    if (a.has("iftype"))
        hspec.iftype = a.get("iftype");
    if (a.has("friendly"))
        hspec.friendly = a.get("friendly");
    if (a.has("source"))
        hspec.source = a.get("source");
    hspec.vendor_class = a.get("vendor-class");
    uint32_t action = 0, sync = 0, ssid = 0, lease = 0, instance = 0;
    if (!a.get_u32("action", STATUS_ACTIVE, action) || !a.get_u32("sync", 0, sync) ||
        !a.get_u32("ssid", 0, ssid) || !a.get_u32("lease", 86400, lease) ||
        !a.get_u32("instance", 0, instance))
        return fail(2, "emit: %s", a.error().c_str()), false;
    if (hspec.mac.empty())
        return fail(2, "emit: --mac (or --host) is required"), false;
    hspec.lease = int32_t(lease);
    // Keep the instance of an entry the store already holds for the MAC.
    uint32_t next = 1;
    for (const auto &e : cfg_lanhosts()) {
        if (e.instanceId.depth == 2 && e.instanceId.inst[1].get() >= next)
            next = e.instanceId.inst[1].get() + 1;
        if (instance == 0 && text_equal_nocase(e.MACAddress, hspec.mac.c_str()) && e.instanceId.depth == 2)
            instance = e.instanceId.inst[1].get();
    }
    hspec.instance = instance ? instance : next;
    entry = make_entry(hspec);
    u = make_host_update(entry, action, sync, a.get("l3"), a.get("ifstatus"), ssid);
    store = a.has("store");
    return true;
}

const std::initializer_list<const char *> kHostOptions = {
    "host",   "mac",   "ip",           "name", "iftype",   "action", "sync",  "friendly",
    "source", "lease", "vendor-class", "l3",   "ifstatus", "ssid",   "store", "instance"};

int emit_fingerprint(Args &a, const std::string &kind)
{
    uint32_t action = 0;
    if (!a.get_u32("action", STATUS_ACTIVE, action))
        return fail(2, "emit: %s", a.error().c_str());
    if (kind == "host") {
        if (!a.only(kHostOptions))
            return fail(2, "emit: %s", a.error().c_str());
        DeviceUpdateMessage m = fingerprint_message(FP_HOST, action, "");
        bool store = false;
        LanHostEntryObject entry;
        if (!host_update(a, m.payload, store, entry))
            return 2;
        std::string err;
        if (store && !cfg_write(&entry, sizeof entry, err))
            return fail(1, "%s", err.c_str());
        return send_message(bytes_of(m), "host update");
    }
    std::string mac;
    if (!need_mac(a, mac))
        return bad_options(a);
    if (kind == "upnp") {
        if (!a.only({"mac", "action", "device-type", "manufacturer", "model-name", "model-number", "serial",
                     "udn", "info"}))
            return fail(2, "emit: %s", a.error().c_str());
        DeviceUpdateMessage m = fingerprint_message(FP_UPNP, action, mac);
        set_upnp(m.payload,
                 UpnpFields{a.get("udn"), a.get("device-type"), a.get("manufacturer"), a.get("info"),
                            a.get("model-name"), a.get("model-number"), a.get("serial")});
        return send_message(bytes_of(m), "UPnP fingerprint");
    }
    if (kind == "mdns") {
        if (!a.only({"mac", "action", "manufacturer", "model", "uuid"}))
            return fail(2, "emit: %s", a.error().c_str());
        DeviceUpdateMessage m = fingerprint_message(FP_MDNS, action, mac);
        set_mdns(m.payload, a.get("manufacturer"), a.get("model"), a.get("uuid"));
        return send_message(bytes_of(m), "mDNS fingerprint");
    }
    if (kind == "http") {
        if (!a.only({"mac", "action", "vendor", "user-agent"}))
            return fail(2, "emit: %s", a.error().c_str());
        DeviceUpdateMessage m = fingerprint_message(FP_HTTP, action, mac);
        set_http(m.payload, a.get("vendor"), a.get("user-agent"));
        return send_message(bytes_of(m), "HTTP fingerprint");
    }
    return fail(2, "emit fingerprint: kind must be upnp, mdns, http or host");
}

// "Session_START timeout=600" and friends, by the start/stop words.
int emit_session(Args &a, const std::string &text)
{
    if (!a.only({"timeout", "mobile", "via", "kind", "text"}))
        return fail(2, "emit: %s", a.error().c_str());
    std::string via = a.get("via", "cfgmgr");
    if (via == "tr69") {
        uint32_t kind = 1;
        if (!a.get_u32("kind", 1, kind))
            return fail(2, "emit: %s", a.error().c_str());
        return send_bus(kTr69, tr69_payload(kind, text));
    }
    if (via != "cfgmgr")
        return fail(2, "emit: --via must be cfgmgr or tr69");
    return send_bus(kSession, text_payload(text));
}

int emit_log(Args &a, const Route &route, bool level)
{
    if (!a.only({"name", "via"}) || a.positional().size() != 2)
        return fail(2, "emit: give the value, e.g. 'emit %s 7'", level ? "log-level" : "log-destination");
    uint32_t value = 0;
    if (!parse_u32(a.positional()[1], value))
        return fail(2, "emit: not a number: %s", a.positional()[1].c_str());
    std::string via = a.get("via", "bus");
    if (via == "csmsg" && level)
        return send_message(csmsg_datagram(CSMSG_TYPE_SET_LOG_LEVEL, value, {}), "log level");
    if (via != "bus")
        return fail(2, "emit: --via must be bus%s", level ? " or csmsg" : "");
    return send_bus(route, log_control_payload(a.get("name", "zelmo"), value));
}

} // namespace

int cmd_emit(int argc, char **argv)
{
    Args a;
    if (!a.parse(argc, argv, 0, {"disassoc", "mobile", "store"}))
        return fail(2, "emit: %s", a.error().c_str());
    if (a.positional().empty() || a.positional()[0] == "help") {
        fputs(kHelp, stdout);
        return a.positional().empty() ? 2 : 0;
    }
    const std::string sig = a.positional()[0];
    std::string mac;
    uint32_t v1 = 0, v2 = 0, v3 = 0;

    if (sig == "fingerprint") {
        if (a.positional().size() != 2)
            return fail(2, "emit fingerprint: give upnp, mdns, http or host");
        return emit_fingerprint(a, a.positional()[1]);
    }
    if (sig == "log-level")
        return emit_log(a, kLogLevel, true);
    if (sig == "log-destination")
        return emit_log(a, kLogDest, false);
    if (a.positional().size() != 1)
        return fail(2, "emit %s: unexpected word %s", sig.c_str(), a.positional()[1].c_str());

    if (sig == "lanhost") {
        if (!a.only(kHostOptions))
            return fail(2, "emit: %s", a.error().c_str());
        DeviceUpdate u;
        bool store = false;
        LanHostEntryObject entry;
        if (!host_update(a, u, store, entry))
            return 2;
        std::string err;
        if (store && !cfg_write(&entry, sizeof entry, err))
            return fail(1, "%s", err.c_str());
        return send_bus(kLanhostSet, bytes_of(u));
    }
    if (sig == "lanhost-del") {
        if (!a.only({"mac"}) || !need_mac(a, mac))
            return bad_options(a);
        return send_bus(kLanhostDel, del_lanhost_payload(mac));
    }
    if (sig == "wifi-assoc") {
        if (!a.only({"mac", "ssid", "status", "code", "disassoc"}) || !need_mac(a, mac))
            return bad_options(a);
        if (!a.get_u32("ssid", 1, v1) || !a.get_u32("status", STATUS_ACTIVE, v2) ||
            !a.get_u32("code", a.has("disassoc") ? 3 : 1, v3) || v1 > 255 || v2 > 255 || v3 > 255)
            return fail(2, "emit: %s", a.error().empty() ? "values must fit a byte" : a.error().c_str());
        return send_bus(kWdpAssoc, wdp_assoc_payload(mac, uint8_t(v1), uint8_t(v2), uint8_t(v3)));
    }
    if (sig == "dhcp-opt55") {
        uint8_t raw[6];
        std::vector<uint8_t> codes;
        if (!a.only({"mac", "opts"}) || !need_mac(a, mac))
            return bad_options(a);
        if (!mac_bytes(mac, raw))
            return fail(2, "emit: not a MAC address: %s", mac.c_str());
        if (!parse_codes(a.get("opts"), codes))
            return fail(2, "emit: --opts must be numbers 1..255 separated by commas");
        return send_bus(kOpt55, opt55_payload(raw, codes));
    }
    if (sig == "dhcp-opt43") {
        if (!a.only({"mac", "hostname", "product", "vendor", "oui", "model-number", "manufacturer"}) ||
            !need_mac(a, mac))
            return bad_options(a);
        return send_bus(
            kOpt43, opt43_payload(Opt43Fields{mac, a.get("hostname"), a.get("product"), a.get("vendor"),
                                              a.get("oui"), a.get("model-number"), a.get("manufacturer")}));
    }
    if (sig == "session-start") {
        std::string text = a.has("mobile") ? "Mobile Session_START" : "Session_START";
        if (a.has("timeout"))
            text += " timeout=" + a.get("timeout");
        return emit_session(a, text);
    }
    if (sig == "session-stop")
        return emit_session(a, a.has("mobile") ? "Mobile Session_STOP" : "Session_STOP");
    if (sig == "session-cmd") {
        if (!a.has("text"))
            return fail(2, "emit: --text is required");
        return emit_session(a, a.get("text"));
    }
    if (sig == "wan-status" || sig == "eth-port") {
        if (!a.only({}))
            return fail(2, "emit: %s", a.error().c_str());
        return send_bus(sig == "wan-status" ? kWan : kEthPort, Bytes(4, 0));
    }
    if (sig == "iface-update") {
        if (!a.only({"mac", "ops", "from"}) || !need_mac(a, mac))
            return bad_options(a);
        std::string from = a.get("from", "meshprovdr");
        if (from != "meshprovdr" && from != "statscollector")
            return fail(2, "emit: --from must be meshprovdr or statscollector");
        std::string path = "/arvex/" + from, iface = "arvex." + from;
        return send_bus(Route{path.c_str(), iface.c_str(), "notifyDeviceInterfaceUpdate"},
                        iface_update_payload(mac, a.get("ops", "eth")));
    }
    if (sig == "update-to-zelmo") {
        if (!a.only({"mac", "friendly", "guest"}) || !need_mac(a, mac))
            return bad_options(a);
        return send_bus(kUpdateToZelmo, update_to_zelmo_payload(mac, a.get("guest"), a.get("friendly")));
    }
    if (sig == "critical") {
        if (!a.only({"mac"}) || !need_mac(a, mac))
            return bad_options(a);
        Bytes b(36, 0);
        str_copy(reinterpret_cast<char *>(b.data()), 32, mac.c_str());
        store_le32(b.data() + 32, 2);
        return send_bus(kCritical, b);
    }
    if (sig == "json-update" || sig == "fp-msg") {
        if (!a.only({"text"}))
            return fail(2, "emit: %s", a.error().c_str());
        return send_bus(sig == "fp-msg" ? kFpMsg : kJson, text_payload(a.get("text", "{}")));
    }
    if (sig == "raw") {
        uint32_t times = 1;
        if (!a.only({"interface", "member", "path", "hex", "text", "dest", "repeat"}) ||
            !a.has("interface") || !a.has("member"))
            return fail(2, "emit raw: --interface and --member are required");
        if (!a.get_u32("repeat", 1, times) || times == 0 || times > 1000)
            return fail(2, "emit raw: --repeat must be 1..1000");
        Bytes payload;
        if (a.has("hex")) {
            if (!parse_hex(a.get("hex"), payload))
                return fail(2, "emit raw: bad --hex");
        } else {
            payload = text_payload(a.get("text"));
        }
        std::string path = a.get("path", "/arvex/gwsim"), iface = a.get("interface"),
                    member = a.get("member");
        return send_bus(Route{path.c_str(), iface.c_str(), member.c_str()}, payload, a.get("dest"), times);
    }
    return fail(2, "emit: unknown signal %s (see 'gwsim emit help')", sig.c_str());
}
