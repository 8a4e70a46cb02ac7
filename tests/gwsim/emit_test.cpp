// gwsim emit: the bytes each simulated sibling signal and message-service
// message carries, as a listener on the bus or on the daemon's socket sees them.
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>

namespace
{

class GwsimEmit : public ::testing::Test
{
  protected:
    GatewayRoot root;
    PrivateBus bus;
    BusClient listener;
    void SetUp() override { ASSERT_TRUE(listener.listen("type='signal'")); }

    // Runs "gwsim emit ..." and returns the one signal it sent.
    BusMessage emit(const std::vector<std::string> &args, const std::string &interface,
                    const std::string &member)
    {
        std::vector<std::string> all{"emit"};
        all.insert(all.end(), args.begin(), args.end());
        ToolResult r = run_gwsim(all);
        EXPECT_EQ(r.status, 0) << r.err;
        auto m = listener.wait_signal(interface, member, 5s);
        EXPECT_TRUE(m.has_value()) << interface << "." << member;
        return m.value_or(BusMessage{});
    }
};

TEST_F(GwsimEmit, SiblingSignalsCarryTheirPayloadLayouts)
{
    BusMessage m = emit(
        {"lanhost",     "--mac",  "aa:bb:cc:dd:ee:01", "--ip",       "192.168.1.30", "--name", "phone",
         "--iftype",    "802.11", "--action",          "0",          "--sync",       "1",      "--friendly",
         "Kid's phone", "--l3",   "Reachable",         "--ifstatus", "Associated",   "--ssid", "2"},
        "arvex.lanhostd", "setLanhostEntry");
    EXPECT_EQ(m.signature, "ay");
    ASSERT_EQ(m.bytes().size(), sizeof(DeviceUpdate));
    DeviceUpdate u;
    memcpy(&u, m.bytes().data(), sizeof u);
    EXPECT_EQ(u.objtype.get(), 1u);
    EXPECT_EQ(u.action.get(), 0u);
    EXPECT_EQ(u.sync.get(), 1u);
    EXPECT_EQ(u.SSIDIndex.get(), 2u);
    EXPECT_STREQ(u.MACAddress, "aa:bb:cc:dd:ee:01");
    EXPECT_STREQ(u.L3Status, "Reachable");
    EXPECT_STREQ(u.InterfaceStatus, "Associated");
    EXPECT_EQ(u.description.host.ObjectId.get(), 273u);
    EXPECT_STREQ(u.description.host.MACAddress, "aa:bb:cc:dd:ee:01");
    EXPECT_STREQ(u.description.host.IPAddress, "192.168.1.30");
    EXPECT_STREQ(u.description.host.HostName, "phone");
    EXPECT_STREQ(u.description.host.InterfaceType, "802.11");
    EXPECT_STREQ(u.description.host.FriendlyName, "Kid's phone");

    m = emit({"lanhost-del", "--mac", "aa:bb:cc:dd:ee:01"}, "arvex.lanhostd", "delLanhostEntry");
    EXPECT_EQ(text_at(m.bytes(), 72), "aa:bb:cc:dd:ee:01");

    m = emit({"wifi-assoc", "--mac", "aa:bb:cc:dd:ee:02", "--ssid", "5", "--disassoc"}, "arvex.wdp",
             "notifyWDPRootAssocDevStatus");
    ASSERT_EQ(m.bytes().size(), 308u);
    EXPECT_EQ(m.bytes()[273], 5); // SSID index
    EXPECT_EQ(m.bytes()[274], 1); // status
    EXPECT_EQ(m.bytes()[275], 3); // disassociated
    EXPECT_EQ(text_at(m.bytes(), 276), "aa:bb:cc:dd:ee:02");

    m = emit({"dhcp-opt55", "--mac", "00:1a:2b:3c:4d:5e", "--opts", "1,121,3,6,15,119,252"}, "arvex.dhcpd",
             "notifyDHCPOpt55");
    EXPECT_EQ(m.bytes(), (Bytes{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 1, 121, 3, 6, 15, 119, 252, 0}));

    m = emit({"dhcp-opt43", "--mac", "aa:bb:cc:dd:ee:05", "--hostname", "printer-1", "--product", "P300",
              "--vendor", "v", "--oui", "00C0EE", "--model-number", "M3", "--manufacturer", "Inkwell"},
             "arvex.dhcpd", "notifyDHCPOpt43");
    EXPECT_EQ(text_at(m.bytes(), 0), "aa:bb:cc:dd:ee:05");
    EXPECT_EQ(text_at(m.bytes(), 32), "printer-1");
    EXPECT_EQ(text_at(m.bytes(), 160), "P300");
    EXPECT_EQ(text_at(m.bytes(), 288), "v");
    EXPECT_EQ(text_at(m.bytes(), 672), "00C0EE");
    EXPECT_EQ(text_at(m.bytes(), 800), "M3");
    EXPECT_EQ(text_at(m.bytes(), 928), "Inkwell");

    m = emit({"session-start", "--timeout", "600"}, "arvex.cfgmgr", "notifySessionStart");
    EXPECT_EQ(m.bytes(), to_bytes(std::string("Session_START timeout=600") + '\0'));
    m = emit({"session-stop", "--via", "tr69"}, "arvex.meshCtl", "NOTIFY_TR69_COMMAND");
    EXPECT_EQ(m.bytes(), (Bytes{1, 0, 0, 0, 'S', 'e', 's', 's', 'i', 'o', 'n', '_', 'S', 'T', 'O', 'P', 0}));
    m = emit({"session-cmd", "--text", "Device_FPChange"}, "arvex.cfgmgr", "notifySessionStart");
    EXPECT_EQ(text_at(m.bytes(), 0), "Device_FPChange");

    m = emit({"update-to-zelmo", "--mac", "aa:bb:cc:dd:ee:07", "--guest", "yes", "--friendly", "Den"},
             "arvex.cfgmgr", "notifyUpdateToZelmo");
    EXPECT_EQ(text_at(m.bytes(), 8), "aa:bb:cc:dd:ee:07");
    EXPECT_EQ(text_at(m.bytes(), 40), "yes");
    EXPECT_EQ(text_at(m.bytes(), 104), "Den");

    m = emit({"iface-update", "--mac", "aa:bb:cc:dd:ee:08", "--ops", "eth2", "--from", "statscollector"},
             "arvex.statscollector", "notifyDeviceInterfaceUpdate");
    EXPECT_EQ(text_at(m.bytes(), 0), "aa:bb:cc:dd:ee:08");
    EXPECT_EQ(text_at(m.bytes(), 64), "eth2");

    m = emit({"log-level", "7"}, "arvex.log.config", "setLogLevel");
    ASSERT_EQ(m.bytes().size(), 68u);
    EXPECT_EQ(text_at(m.bytes(), 0), "zelmo");
    EXPECT_EQ(load_le32(m.bytes().data() + 64), 7u);

    emit({"wan-status"}, "arvex.cfgmgr", "notifyWANStatusChange");
    emit({"eth-port"}, "arvex.statscollector", "notifyStatsEthPortUpdate");
    m = emit({"raw", "--interface", "arvex.httpd", "--member", "setCriticalDevice", "--hex", "01 02:ff"},
             "arvex.httpd", "setCriticalDevice");
    EXPECT_EQ(m.bytes(), (Bytes{1, 2, 0xff}));
}

TEST_F(GwsimEmit, FingerprintsGoToTheDaemonsMessageSocket)
{
    MessageSocket sink;
    ToolResult r = run_gwsim({"emit", "fingerprint", "upnp", "--mac", "aa:bb:cc:dd:ee:03", "--udn",
                              "uuid:1234", "--device-type", "urn:tv:1", "--manufacturer", "Vistara", "--info",
                              "extra", "--model-name", "Q55", "--model-number", "2024", "--serial", "SN9"});
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes b = sink.receive();
    ASSERT_EQ(b.size(), sizeof(DeviceUpdateMessage));
    EXPECT_EQ(load_le32(b.data()), CSMSG_TYPE_DEVICE_UPDATE);
    EXPECT_EQ(load_le32(b.data() + 24), 2904u);
    const size_t p = 32; // payload
    EXPECT_EQ(load_le32(b.data() + p), 2u);
    EXPECT_EQ(load_le32(b.data() + p + 4), 1u);
    EXPECT_EQ(text_at(b, p + 8), "aa:bb:cc:dd:ee:03");
    EXPECT_EQ(text_at(b, p + 240 + 32), "uuid:1234");
    EXPECT_EQ(text_at(b, p + 240 + 583), "urn:tv:1");
    EXPECT_EQ(text_at(b, p + 240 + 1226), "Vistara");
    EXPECT_EQ(text_at(b, p + 240 + 1355), "extra");
    EXPECT_EQ(text_at(b, p + 240 + 1876), "Q55");
    EXPECT_EQ(text_at(b, p + 240 + 1941), "2024");
    EXPECT_EQ(text_at(b, p + 240 + 2263), "SN9");

    ASSERT_EQ(run_gwsim({"emit", "fingerprint", "mdns", "--mac", "aa:bb:cc:dd:ee:04", "--manufacturer",
                         "Sonora", "--model", "One", "--uuid", "u-4", "--action", "0"})
                  .status,
              0);
    b = sink.receive();
    ASSERT_EQ(b.size(), sizeof(DeviceUpdateMessage));
    EXPECT_EQ(load_le32(b.data() + p), 3u);
    EXPECT_EQ(load_le32(b.data() + p + 4), 0u);
    EXPECT_EQ(text_at(b, p + 240), "Sonora");
    EXPECT_EQ(text_at(b, p + 240 + 128), "One");
    EXPECT_EQ(text_at(b, p + 240 + 192), "u-4");

    std::string long_ua(300, 'u');
    ASSERT_EQ(run_gwsim({"emit", "fingerprint", "http", "--mac", "aa:bb:cc:dd:ee:06", "--vendor", "Acme",
                         "--user-agent", long_ua})
                  .status,
              0);
    b = sink.receive();
    EXPECT_EQ(load_le32(b.data() + p), 4u);
    EXPECT_EQ(text_at(b, p + 240), "Acme");
    EXPECT_EQ(text_at(b, p + 240 + 68), std::string(255, 'u')); // cut to its field

    ASSERT_EQ(run_gwsim({"emit", "fingerprint", "host", "--host", "aa:bb:cc:dd:ee:09,10.0.0.9,nine,Ethernet"})
                  .status,
              0);
    b = sink.receive();
    EXPECT_EQ(load_le32(b.data() + p), 1u);
    EXPECT_EQ(text_at(b, p + 240 + offsetof(LanHostEntryObject, HostName)), "nine");

    ASSERT_EQ(run_gwsim({"emit", "log-level", "5", "--via", "csmsg"}).status, 0);
    b = sink.receive();
    ASSERT_EQ(b.size(), 32u);
    EXPECT_EQ(load_le32(b.data()), CSMSG_TYPE_SET_LOG_LEVEL);
    EXPECT_EQ(load_le32(b.data() + 20), 5u);
}

TEST_F(GwsimEmit, BadArgumentsSendNothing)
{
    EXPECT_EQ(run_gwsim({"emit", "dhcp-opt55", "--mac", "00:1a:2b:3c:4d", "--opts", "1,3"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "dhcp-opt55", "--mac", "00:1a:2b:3c:4d:5e", "--opts", "1,256"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "wifi-assoc", "--ssid", "1"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "wifi-assoc", "--mac", "aa:bb:cc:dd:ee:01", "--ssid", "300"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "lanhost", "--mac", "aa:bb:cc:dd:ee:01", "--speed", "9"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "teleport"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "fingerprint", "smell", "--mac", "aa:bb:cc:dd:ee:01"}).status, 2);
    for (const BusMessage &m : listener.received()) // only the bus daemon's own signals
        EXPECT_EQ(m.interface, "org.freedesktop.DBus") << m.member;
    // With nobody listening on the daemon's socket the send fails visibly.
    ToolResult r = run_gwsim({"emit", "fingerprint", "http", "--mac", "aa:bb:cc:dd:ee:01"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("161.sock"), std::string::npos) << r.err;
}

} // namespace
