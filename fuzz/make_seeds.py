#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the payloads the tests send, a handful per target: valid
records for devices the fuzz harness's baseline table holds
(02:00:00:00:00:01 .. 05) and for new ones, plus a few short and odd ones.
Run it again after changing a payload layout; the files are checked in.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def mac(n):
    return "02:00:00:00:00:%02x" % n


def put(buf, offset, text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    buf[offset:offset + len(data)] = data


def u32(buf, offset, value):
    buf[offset:offset + 4] = struct.pack("<I", value)


def lanhost_entry(n, ip="192.168.1.50", hostname="host", itf="Ethernet", friendly="", behind=0):
    e = bytearray(1440)
    u32(e, 0, 273)
    e[4] = 2
    u32(e, 8, 1)
    u32(e, 12, n)
    put(e, 32, ip)
    put(e, 65, "DHCP")
    u32(e, 98, 86400)
    put(e, 102, mac(n))
    put(e, 649, hostname)
    put(e, 1228, itf)
    u32(e, 1261, 1)
    put(e, 1306, friendly)
    u32(e, 1436, behind)
    return e


def device_update(objtype, action, mac_text="", l3="", itf="", ssid=0, sync=0, description=b""):
    p = bytearray(2904)
    u32(p, 0, objtype)
    u32(p, 4, action)
    put(p, 8, mac_text)
    put(p, 136, l3)
    put(p, 200, itf)
    u32(p, 232, ssid)
    u32(p, 236, sync)
    put(p, 240, bytes(description))
    return p


def csmsg(msgtype, payload, value=0, length=None):
    h = bytearray(32)
    u32(h, 0, msgtype)
    u32(h, 8, 161)
    u32(h, 20, value)
    u32(h, 24, len(payload) if length is None else length)
    return bytes(h) + bytes(payload)


def upnp_description():
    d = bytearray(2664)
    put(d, 32, "uuid:1234-5678")
    put(d, 583, "urn:schemas-upnp-org:device:MediaRenderer:1")
    put(d, 1226, "Acme \"Vision\"")
    put(d, 1355, "extra")
    put(d, 1876, "TV-2")
    put(d, 1941, "2024")
    put(d, 2263, "SN-77")
    return d


def mdns_description():
    d = bytearray(808)
    put(d, 0, "Acme")
    put(d, 128, "Speaker, Mini")
    put(d, 192, "6f1c-22")
    return d


def http_description():
    d = bytearray(808)
    put(d, 0, "android-dhcp-14")
    put(d, 68, "Mozilla/5.0 (Linux; Android 14; Pixel 8)")
    return d


def wdp(ssid, status, code, mac_text):
    b = bytearray(308)
    b[273], b[274], b[275] = ssid, status, code
    put(b, 276, mac_text)
    return b


def texts(size, fields):
    b = bytearray(size)
    for offset, text in fields:
        put(b, offset, text)
    return b


def opt55(n, codes):
    return bytes([2, 0, 0, 0, 0, n]) + bytes(codes)


def opt43(mac_text, hostname="", product="", vendor="", oui="", model="", manufacturer=""):
    return texts(1056, [(0, mac_text), (32, hostname), (160, product), (288, vendor), (672, oui),
                        (800, model), (928, manufacturer)])


def record(n, status=1, host_state=4, itf_type="Ethernet", l3="Reachable", itf="Associated", fp=0):
    r = bytearray(4932)
    u32(r, 0, 0)
    u32(r, 4, status)
    u32(r, 8, 1700000000)
    r[20:20 + 1440] = lanhost_entry(n, itf=itf_type)
    u32(r, 1460, host_state)
    u32(r, 1464, fp)
    put(r, 1468, "1,3,6")
    put(r, 1726, l3)
    put(r, 1758, itf)
    return r


def db(records, size_text="4932", count_text=None):
    h = bytearray(64)
    put(h, 0, size_text)
    put(h, 32, str(len(records)) if count_text is None else count_text)
    return bytes(h) + b"".join(bytes(r) for r in records)


def seq(*messages):
    out = bytearray()
    for mtype, payload in messages:
        out += bytes([mtype]) + struct.pack("<H", len(payload)) + bytes(payload)
    return out


def session_start_seeds():
    return [b"Session_START", b"Session_START timeout=600", b"Session_START timeout=0", b"Session_STOP",
            b"Session_START Mobile", b"Device_FPChange", b"Session_START timeout", b"Session_START timeout=-5"]


def seeds():
    new = lanhost_entry(7, "192.168.1.77", "newcomer")
    desk = lanhost_entry(1, "192.168.1.11", "desk", friendly="Desk")
    phone = lanhost_entry(2, "192.168.1.12", "phone", "802.11")
    tv = lanhost_entry(3, "192.168.1.13", "tv", "802.11ac", behind=1)
    s = {}
    s["fuzz_msg_session_start"] = session_start_seeds()
    s["fuzz_msg_wdp_assoc"] = [wdp(6, 1, 1, mac(2)), wdp(2, 1, 3, mac(2)), wdp(4, 0, 1, mac(8)),
                               wdp(5, 1, 0, mac(3)), wdp(9, 2, 7, mac(4)), bytes(280)]
    s["fuzz_msg_interface_update"] = [texts(128, [(0, mac(2)), (64, "eth1")]),
                                      texts(128, [(0, mac(3)), (64, "eth2")]),
                                      texts(128, [(0, mac(1)), (64, "eth0")]), mac(4).encode()]
    s["fuzz_msg_set_lanhost"] = [device_update(1, 1, mac(7), description=new),
                                 device_update(1, 0, mac(1), description=desk),
                                 device_update(1, 0, mac(2), description=phone),
                                 device_update(1, 1, mac(3), sync=1, description=tv),
                                 device_update(1, 2, mac(1), description=desk),
                                 device_update(1, 1, mac(4), description=lanhost_entry(4, itf="802.11"))[:400]]
    s["fuzz_msg_dhcp_opt43"] = [opt43(mac(9), "printer-1", product="LaserJet", manufacturer="HP"),
                                opt43(mac(1), vendor="vendor-blob"), opt43(mac(9), oui="0001E6"),
                                opt43(mac(2), model="M1", manufacturer="Acme")[:940], opt43("", product="x")]
    s["fuzz_msg_update_to_zelmo"] = [texts(169, [(8, mac(1)), (40, "1"), (104, "Desk PC")]),
                                     texts(169, [(8, mac(2)), (40, ""), (104, "Phone")]),
                                     texts(169, [(8, mac(3)), (40, "guest"), (104, "tv")]),
                                     texts(60, [(8, mac(1))])]
    s["fuzz_msg_dhcp_opt55"] = [opt55(2, [1, 3, 6, 15, 255, 0]), opt55(7, [1, 121, 3, 6, 15, 119, 252, 0]),
                                opt55(1, [255, 1, 0]), opt55(3, [0]), bytes([2, 0, 0, 0, 0, 5]),
                                opt55(2, list(range(1, 255)) + [0])]
    s["fuzz_msg_del_lanhost"] = [texts(104, [(72, mac(1))]), texts(104, [(72, mac(2))]),
                                 texts(104, [(72, mac(9))]), texts(80, [(72, "02:00")])]
    s["fuzz_msg_tr69_command"] = [struct.pack("<I", 1) + b"Session_START timeout=60",
                                  struct.pack("<I", 1) + b"Session_STOP",
                                  struct.pack("<I", 2) + b"Session_START", struct.pack("<I", 1)[:3]]
    s["fuzz_msg_log_level"] = [texts(68, [(0, "zelmo"), (64, b"\x07")]), texts(68, [(0, "other"), (64, b"\x03")]),
                               texts(67, [(0, "zelmo")]), texts(69, [(0, "zelmo"), (64, b"\x06")])]
    s["fuzz_msg_sequence"] = [
        seq((1, wdp(6, 1, 1, mac(8))), (8, opt55(8, [1, 3, 6, 0])), (5, device_update(1, 1, mac(8),
            description=lanhost_entry(8, itf="802.11ac")))),
        seq((0, b"Session_START timeout=30"), (5, device_update(1, 0, mac(1), description=desk)),
            (9, texts(104, [(72, mac(1))])), (0, b"Session_STOP")),
        seq((6, opt43(mac(9), "printer", product="LaserJet")), (7, texts(169, [(8, mac(9)), (104, "Printer")])),
            (4, texts(128, [(0, mac(9))]))),
        seq((10, b"\x01\x02"), (13, texts(68, [(0, "zelmo"), (64, b"\x07")])), (14, texts(68, [(0, "zelmo")])),
            (2, b""), (16, b""), (17, b"x"), (3, b"{}"), (11, struct.pack("<I", 1) + b"Session_START")),
    ]
    s["fuzz_cs_message"] = [
        csmsg(0x1000279e, device_update(1, 1, description=new, l3="Reachable", itf="Associated")),
        csmsg(0x1000279e, device_update(2, 1, mac(1), description=upnp_description())),
        csmsg(0x1000279e, device_update(3, 1, mac(5), description=mdns_description())),
        csmsg(0x1000279e, device_update(4, 1, mac(2), description=http_description())),
        csmsg(0x1000279e, device_update(4, 0, mac(9), description=http_description()))[:600],
        csmsg(0x1000279d, b"", value=7), csmsg(0x12345678, b"abc"), csmsg(0x1000279e, b"", length=2904),
    ]
    s["fuzz_database"] = [db([record(1), record(2, 0, 2, "802.11", "Not Reachable", "Disassociated", 4)]),
                          db([record(3)], size_text="4931"), db([], count_text="300"),
                          db([record(1), record(2)])[:64 + 4932 + 100], db([record(4)], count_text=""),
                          b"", db([record(5)], count_text="-1")]
    s["fuzz_cfg_lanhost"] = [lanhost_entry(9, "10.0.0.9", "store-host", "802.11ac", "Store"),
                             lanhost_entry(1, "192.168.1.111", "desk-renamed"), lanhost_entry(2)[:200],
                             bytes(lanhost_entry(3, itf="")).replace(b"\0", b"A")]
    info = bytearray(600)
    put(info, 97, "A1B2C3")
    put(info, 493, "XS 010")
    put(info, 558, "SN 0001")
    wifi = bytearray(400)
    put(wifi, 391, "RGW")
    profile = bytearray(1608)
    put(profile, 65, "https://cloud.example/report path")
    put(profile, 1090, "user")
    put(profile, 1347, "secret")
    ident = lambda i, w, p: struct.pack("<H", len(i)) + bytes(i) + struct.pack("<H", len(w)) + bytes(w) + bytes(p)
    s["fuzz_cfg_identity"] = [ident(info, wifi, profile), ident(info, b"", profile[:200]),
                              ident(b"", wifi, bytes(profile).replace(b"\0", b" ")), b"\x10\x00" + b"\xff" * 16]
    s["fuzz_session_command"] = [b"\0" + t for t in session_start_seeds()] + [b"\1Session_START",
                                                                             b"\1Session_STOP"]
    # Bus messages: [flags][interface][member][argument count] arguments
    # (see fuzz/bus_message.cpp); root's, the own uid's, uid 65534's and an
    # unknown sender's signals and calls.
    ay = lambda payload: bytes([0, len(payload)]) + payload
    lanhost = bytes(device_update(1, 1, mac(7)))[:200]
    s["fuzz_bus_message"] = [
        bytes([0, 0, 0, 1]) + ay(lanhost),
        bytes([2, 2, 5, 1]) + ay(bytes([2, 0, 0, 0, 0, 1, 1, 3, 6])),
        bytes([4, 0, 0, 1]) + ay(lanhost) + bytes([4 | 16, 0, 1, 1]) + ay(b"\x02"),
        bytes([6 | 64, 8, 12, 1]) + ay(b"Session_START"),
        bytes([1, 10, 17, 2]) + ay(b"12345678") + bytes([1, 0, 0, 0, 8]),
        bytes([1 | 4, 10, 21, 2]) + ay(b"12345678") + bytes([1, 0, 0, 0, 8]),
        bytes([1 | 32, 12, 22, 0]) + bytes([0, 1, 3, 0]),
        bytes([8, 1, 3, 1, 2, 3]) + b"abc",
    ]
    return s


def main():
    for target, items in seeds().items():
        d = os.path.join(CORPUS, target)
        os.makedirs(d, exist_ok=True)
        for name in os.listdir(d):
            if name.startswith("seed-"):
                os.unlink(os.path.join(d, name))
        for i, data in enumerate(items):
            with open(os.path.join(d, "seed-%02d" % i), "wb") as f:
                f.write(bytes(data))


if __name__ == "__main__":
    main()
