// The ArvexKvxZelmo method interface forwards each call to the LAN host
// daemon client with at most the eight bytes of its argument slot.
#include "bus_harness.h"

#include <gtest/gtest.h>

namespace
{

TEST(BusMethods, EachMethodForwardsAtMostItsSlotAndOtherCallsGetErrors)
{
    PrivateBus bus;
    RecordingLanHost lanhost;
    ServiceThread service{bus};
    BusClient client;
    CaptureFd log(STDERR_FILENO);
    ASSERT_TRUE(service.ready());

    // Calls the interface does not have, or with the wrong arguments: errors,
    // and nothing forwarded (the recorder sees only the good calls below).
    auto bytes8 = [](DBusMessage *m) { dbus_append_byte_array(m, "12345678", 8); };
    auto u32_then_bytes = [](DBusMessage *m) {
        dbus_uint32_t value = 8;
        dbus_message_append_args(m, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
        dbus_append_byte_array(m, "12345678", 8);
    };
    const struct {
        const char *interface, *member;
        std::function<void(DBusMessage *)> fill;
        const char *error;
    } bad_calls[] = {
        {"arvex.kvx.zelmo", "notifyDeviceRemoved", bytes8, "org.freedesktop.DBus.Error.UnknownMethod"},
        {"arvex.other", "notifyDeviceAdded", bytes8, "org.freedesktop.DBus.Error.UnknownMethod"},
        {"arvex.kvx.zelmo", "notifyDeviceAdded", {}, "org.freedesktop.DBus.Error.InvalidArgs"},
        {"arvex.kvx.zelmo", "notifyDeviceInfoUpdate", u32_then_bytes,
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {"arvex.kvx.zelmo", "notifyDeviceStatusChange", bytes8, "org.freedesktop.DBus.Error.InvalidArgs"},
    };
    for (const auto &bad : bad_calls) {
        MethodReply reply =
            client.call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", bad.interface, bad.member, bad.fill);
        EXPECT_EQ(reply.error, bad.error) << bad.interface << "." << bad.member;
    }

    const Bytes long_arg = pattern(20, 3), first8(long_arg.begin(), long_arg.begin() + 8);
    const struct {
        const char *method;
        Bytes arg;
        uint32_t length;
        Bytes forwarded;
    } cases[] = {
        {"notifyDeviceAdded", pattern(8, 0x10), 8, pattern(8, 0x10)},
        {"notifyDeviceStatusChange", pattern(8, 0x20), 8, pattern(8, 0x20)},
        {"notifyDeviceInfoUpdate", pattern(8, 0x30), 8, pattern(8, 0x30)},
        {"notifySyncAllDevices", pattern(8, 0x40), 8, pattern(8, 0x40)},
        {"notifyDeviceCategoryInfo", long_arg, 20, first8}, // cut to the slot
        {"notifyDeviceCategoryInfo", long_arg, 0xFFFFFFFF, first8},
        {"notifyDeviceCategoryInfo", {9, 8, 7}, 8, {9, 8, 7, 0, 0, 0, 0, 0}}, // slot zero-filled
        {"notifyDeviceCategoryInfo", pattern(8, 5), 2, {pattern(8, 5)[0], pattern(8, 5)[1]}},
        {"notifyDeviceCategoryInfo", {}, 0, {}},
    };
    for (const auto &c : cases) {
        MethodReply reply = client.call_bytes_u32("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "arvex.kvx.zelmo",
                                                  c.method, c.arg, c.length);
        ASSERT_TRUE(reply.ok) << c.method << ": " << reply.error;
        EXPECT_EQ(reply.reply.signature, "u");
        EXPECT_EQ(reply.reply.u32s, std::vector<uint32_t>{0}) << c.method;
    }
    ASSERT_TRUE(lanhost.wait_for("", std::size(cases), 3000ms));
    std::this_thread::sleep_for(100ms);
    auto calls = lanhost.calls();
    ASSERT_EQ(calls.size(), std::size(cases));
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].member, cases[i].method);
        EXPECT_EQ(calls[i].interface, "arvex.lanhostd");
        EXPECT_EQ(calls[i].bytes(), cases[i].forwarded) << i;
    }

    std::string text = log.text();
    EXPECT_NE(text.find("<3> onArvexKvxZelmoDispatch:"), std::string::npos) << text;
    EXPECT_NE(text.find(": unknown message: notifyDeviceRemoved\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": unknown message: notifyDeviceAdded\n"), std::string::npos) << text;
}

} // namespace
