// gwsim emit: the bytes of the simulated sibling signals and message-service
// messages that the demo does not already carry through the daemon into the
// table and the reports (tests/gwsim/demo_test.cpp).
#include "fixture/fixture.h"
#include "tool_process.h"

#include <gtest/gtest.h>

namespace
{

using Texts = std::vector<std::pair<size_t, std::string>>;

void expect_texts(const Bytes &b, const Texts &texts)
{
    for (const auto &[offset, text] : texts)
        EXPECT_EQ(text_at(b, offset), text) << "at " << offset;
}

TEST(GwsimEmit, SiblingSignalsCarryTheirLayoutsAndBadArgumentsSendNone)
{
    GatewayRoot root;
    PrivateBus bus;
    BusClient listener;
    ASSERT_TRUE(listener.listen("type='signal'"));
    EXPECT_EQ(run_gwsim({"emit", "dhcp-opt55", "--mac", "00:1a:2b:3c:4d", "--opts", "1,3"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "dhcp-opt55", "--mac", "00:1a:2b:3c:4d:5e", "--opts", "1,256"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "wifi-assoc", "--ssid", "1"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "wifi-assoc", "--mac", "aa:bb:cc:dd:ee:01", "--ssid", "300"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "lanhost", "--mac", "aa:bb:cc:dd:ee:01", "--speed", "9"}).status, 2);
    EXPECT_EQ(run_gwsim({"emit", "teleport"}).status, 2);
    for (const BusMessage &m : listener.received()) // only the bus daemon's own signals
        EXPECT_EQ(m.interface, "org.freedesktop.DBus") << m.member;

    // Runs "gwsim emit ..." and returns the one signal it sent.
    auto emit = [&](std::vector<std::string> args, const std::string &interface, const std::string &member) {
        args.insert(args.begin(), "emit");
        ToolResult r = run_gwsim(args);
        EXPECT_EQ(r.status, 0) << r.err;
        auto m = listener.wait_signal(interface, member, 5s);
        EXPECT_TRUE(m.has_value()) << interface << "." << member;
        return m.value_or(BusMessage{});
    };
    BusMessage m =
        emit({"lanhost", "--mac", "aa:bb:cc:dd:ee:01", "--ip", "192.168.1.30", "--action", "0", "--sync", "1",
              "--friendly", "Kid's phone", "--l3", "Reachable", "--ifstatus", "Associated", "--ssid", "2"},
             "arvex.lanhostd", "setLanhostEntry");
    // Signature, type and the fields the demo sets reach the table there.
    ASSERT_EQ(m.bytes().size(), sizeof(DeviceUpdate));
    const auto &u = *reinterpret_cast<const DeviceUpdate *>(m.bytes().data());
    EXPECT_EQ(u.action.get(), 0u);
    EXPECT_EQ(u.sync.get(), 1u);
    EXPECT_EQ(u.SSIDIndex.get(), 2u);
    EXPECT_STREQ(u.MACAddress, "aa:bb:cc:dd:ee:01");
    EXPECT_STREQ(u.L3Status, "Reachable");
    EXPECT_STREQ(u.InterfaceStatus, "Associated");
    EXPECT_STREQ(u.description.host.IPAddress, "192.168.1.30");
    EXPECT_STREQ(u.description.host.FriendlyName, "Kid's phone");

    m = emit({"dhcp-opt43", "--mac", "aa:bb:cc:dd:ee:05", "--hostname", "printer-1", "--product", "P300",
              "--vendor", "v", "--oui", "00C0EE", "--model-number", "M3", "--manufacturer", "Inkwell"},
             "arvex.dhcpd", "notifyDHCPOpt43");
    expect_texts(m.bytes(), {{0, "aa:bb:cc:dd:ee:05"},
                             {32, "printer-1"},
                             {160, "P300"},
                             {288, "v"},
                             {672, "00C0EE"},
                             {800, "M3"},
                             {928, "Inkwell"}});

    m = emit({"session-stop", "--via", "tr69"}, "arvex.meshCtl", "NOTIFY_TR69_COMMAND");
    EXPECT_EQ(m.bytes(), (Bytes{1, 0, 0, 0, 'S', 'e', 's', 's', 'i', 'o', 'n', '_', 'S', 'T', 'O', 'P', 0}));
    m = emit({"session-cmd", "--text", "Device_FPChange"}, "arvex.cfgmgr", "notifySessionStart");
    EXPECT_EQ(m.bytes(), to_bytes(std::string("Device_FPChange") + '\0'));
    m = emit({"update-to-zelmo", "--mac", "aa:bb:cc:dd:ee:07", "--guest", "yes", "--friendly", "Den"},
             "arvex.cfgmgr", "notifyUpdateToZelmo");
    expect_texts(m.bytes(), {{8, "aa:bb:cc:dd:ee:07"}, {40, "yes"}, {104, "Den"}});
    m = emit({"iface-update", "--mac", "aa:bb:cc:dd:ee:08", "--ops", "eth2", "--from", "statscollector"},
             "arvex.statscollector", "notifyDeviceInterfaceUpdate");
    expect_texts(m.bytes(), {{0, "aa:bb:cc:dd:ee:08"}, {64, "eth2"}});
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

TEST(GwsimEmit, FingerprintsGoToTheDaemonsMessageSocket)
{
    GatewayRoot root;
    // With nobody listening on the daemon's socket the send fails visibly.
    ToolResult r = run_gwsim({"emit", "fingerprint", "http", "--mac", "aa:bb:cc:dd:ee:01"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("161.sock"), std::string::npos) << r.err;

    MessageSocket sink;
    // Sends nothing: the first message below would show it.
    EXPECT_EQ(run_gwsim({"emit", "fingerprint", "smell", "--mac", "aa:bb:cc:dd:ee:01"}).status, 2);
    const size_t p = 32; // payload
    auto send = [&](const std::vector<std::string> &args) {
        std::vector<std::string> all{"emit", "fingerprint"};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_EQ(run_gwsim(all).status, 0);
        Bytes b = sink.receive();
        EXPECT_EQ(b.size(), sizeof(DeviceUpdateMessage));
        b.resize(sizeof(DeviceUpdateMessage));
        return b;
    };
    // The demo's TV, speaker and plug carry the other fields into the table;
    // here what they leave out.
    Bytes b = send({"upnp", "--mac", "aa:bb:cc:dd:ee:03", "--info", "extra"});
    EXPECT_EQ(load_le32(b.data() + p), 2u);
    EXPECT_EQ(text_at(b, p + 240 + 1355), "extra");
    b = send({"mdns", "--mac", "aa:bb:cc:dd:ee:04", "--action", "0"});
    EXPECT_EQ(load_le32(b.data() + p), 3u);
    EXPECT_EQ(load_le32(b.data() + p + 4), 0u);
    b = send(
        {"http", "--mac", "aa:bb:cc:dd:ee:06", "--vendor", "Acme", "--user-agent", std::string(300, 'u')});
    EXPECT_EQ(load_le32(b.data() + p), 4u);
    EXPECT_EQ(text_at(b, p + 240), "Acme");
    EXPECT_EQ(text_at(b, p + 240 + 68), std::string(255, 'u')); // cut to its field

    b = send({"host", "--host", "aa:bb:cc:dd:ee:09,10.0.0.9,nine,Ethernet"});
    EXPECT_EQ(load_le32(b.data() + p), 1u);
    EXPECT_EQ(text_at(b, p + 240 + offsetof(LanHostEntryObject, HostName)), "nine");

    ASSERT_EQ(run_gwsim({"emit", "log-level", "5", "--via", "csmsg"}).status, 0);
    b = sink.receive();
    ASSERT_EQ(b.size(), 32u);
    EXPECT_EQ(load_le32(b.data()), CSMSG_TYPE_SET_LOG_LEVEL);
    EXPECT_EQ(load_le32(b.data() + 20), 5u);
}

} // namespace
