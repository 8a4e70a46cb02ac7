// Subscribed signals of the sibling daemons reach the main-thread side of
// the local pipe as local messages of their type, with their exact payload.
#include "bus_harness.h"

#include <gtest/gtest.h>

namespace
{

struct Route {
    const char *interface;
    const char *member;
    uint32_t type;
};

// Every subscribed signal, with an arbitrary sender interface where the
// subscription accepts any.
const Route kRoutes[] = {
    {"arvex.lanhostd", "setLanhostEntry", 5},
    {"arvex.lanhostd", "delLanhostEntry", 9},
    {"arvex.log.config", "setLogLevel", 13},
    {"arvex.log.config", "setLogDestination", 14},
    {"com.example.other", "setLogDestination", 14},
    {"arvex.dhcpd", "notifyDHCPOpt43", 6},
    {"arvex.meshprovdr", "notifyDeviceInterfaceUpdate", 4},
    {"arvex.statscollector", "notifyDeviceInterfaceUpdate", 4},
    {"arvex.meshprovdr", "notifyJSONDeviceUpdate", 3},
    {"com.example.other", "notifyJSONDeviceUpdate", 3},
    {"arvex.meshCtl", "NOTIFY_TR69_COMMAND", 11},
    {"arvex.wdp", "notifyWDPRootAssocDevStatus", 1},
    {"arvex.httpd", "setCriticalDevice", 10},
    {"arvex.cfgmgr", "notifyUpdateToZelmo", 7},
    {"arvex.cfgmgr", "notifySessionStart", 0},
    {"arvex.statscollector", "notifyStatsEthPortUpdate", 2},
    {"arvex.cfgmgr", "notifyWANStatusChange", 16},
    {"arvex.fp", "notifyFPMsg", 17},
    {"arvex.dhcpd", "notifyDHCPOpt55", 8},
};

TEST(BusSignals, SubscribedSignalsArriveExactlyAndNothingElse)
{
    PrivateBus bus;
    ServiceThread service{bus};
    BusClient client;
    CaptureFd log(STDERR_FILENO);
    ASSERT_TRUE(service.ready());
    // Each signal has a payload of its own length and contents; then payloads
    // of any length, from none to 100 KiB.
    std::vector<std::pair<Route, Bytes>> sent;
    for (size_t i = 0; i < std::size(kRoutes); ++i)
        sent.emplace_back(kRoutes[i], pattern(20 + i, uint8_t(i)));
    for (size_t length : {0, 1, 8, 100 * 1024, 3})
        sent.emplace_back(Route{"arvex.fp", "notifyFPMsg", 17}, pattern(length, uint8_t(length)));
    for (const auto &[route, payload] : sent)
        ASSERT_TRUE(client.emit_signal(route.interface, route.member, payload));

    const Route strangers[] = {
        {"com.example.other", "setLanhostEntry", 0},
        {"arvex.dhcpd", "setLanhostEntry", 0},
        {"arvex.cfgmgr", "notifyDeviceInterfaceUpdate", 0},
        {"arvex.lanhostd", "notifyDHCPOpt55", 0},
        {"arvex.httpd", "setLogLevel", 0},
        {"arvex.lanhostd", "setLanhostEntryX", 0},
    };
    for (const Route &route : strangers) {
        // Broadcast: the bus's match rules keep it away.
        ASSERT_TRUE(client.emit_signal(route.interface, route.member, {1, 2, 3}));
        // Addressed to the daemon: the bus delivers it whatever the rules, and
        // the subscription table must turn it away.
        ASSERT_TRUE(client.emit_signal_with(route.interface, route.member, [](DBusMessage *m) {
            dbus_message_set_destination(m, "arvex.kvx.zelmo");
            dbus_append_byte_array(m, "\x01\x02", 2);
        }));
    }
    // Subscribed members with the wrong arguments are dropped with a log line.
    ASSERT_TRUE(client.emit_signal_with("arvex.lanhostd", "setLanhostEntry", [](DBusMessage *m) {
        const char *text = "not bytes";
        dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    }));
    ASSERT_TRUE(client.emit_signal_with("arvex.dhcpd", "notifyDHCPOpt55", [](DBusMessage *m) {
        dbus_uint32_t extra = 7;
        dbus_append_byte_array(m, "\x01\x02", 2);
        dbus_message_append_args(m, DBUS_TYPE_UINT32, &extra, DBUS_TYPE_INVALID);
    }));
    ASSERT_TRUE(client.emit_signal_with("arvex.cfgmgr", "notifySessionStart", {}));
    // A marker last: nothing but the subscribed signals arrived before it.
    sent.emplace_back(Route{"arvex.lanhostd", "delLanhostEntry", 9}, Bytes{0xEE, 0x01});
    ASSERT_TRUE(client.emit_signal("arvex.lanhostd", "delLanhostEntry", sent.back().second));

    for (const auto &[route, payload] : sent) {
        SCOPED_TRACE(std::string(route.interface) + "." + route.member + " " +
                     std::to_string(payload.size()));
        auto got = service.next();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->type, route.type);
        EXPECT_EQ(got->payload, payload);
        EXPECT_TRUE(got->terminated);
    }
    std::string text = log.text();
    EXPECT_NE(text.find("dropped signal arvex.lanhostd.setLanhostEntry: signature \"s\", expected \"ay\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("dropped signal arvex.dhcpd.notifyDHCPOpt55: signature \"ayu\""), std::string::npos);
    EXPECT_NE(text.find("dropped signal arvex.cfgmgr.notifySessionStart: signature \"\""), std::string::npos);
    EXPECT_EQ(count_of(text, "dropped signal"), 3u); // strangers are turned away silently
    // The loop ends with the bus, and the service returns 0.
    EXPECT_EQ(service.stop(), 0);
}

} // namespace
