// The ArvexKvxZelmo method interface forwards each call to the LAN host
// daemon client with at most the eight bytes of its argument slot.
#include "bus_harness.h"

#include <gtest/gtest.h>

namespace
{

const char *const kMethods[] = {"notifyDeviceAdded", "notifyDeviceStatusChange", "notifyDeviceInfoUpdate",
                                "notifySyncAllDevices", "notifyDeviceCategoryInfo"};

class BusMethods : public ::testing::Test
{
  protected:
    PrivateBus bus;
    RecordingLanHost lanhost;
    ServiceThread service{bus};
    BusClient client;

    MethodReply call(const std::string &member, const Bytes &bytes, uint32_t value,
                     const std::string &interface = "arvex.kvx.zelmo")
    {
        return client.call_bytes_u32("arvex.kvx.zelmo", "/arvex/kvx/zelmo", interface, member, bytes, value);
    }
};

TEST_F(BusMethods, EachMethodReachesTheLanHostClientAndReturnsItsResult)
{
    ASSERT_TRUE(service.ready());
    uint8_t seed = 0x10;
    for (const char *method : kMethods) {
        MethodReply reply = call(method, pattern(8, seed), 8);
        ASSERT_TRUE(reply.ok) << method << ": " << reply.error;
        EXPECT_EQ(reply.reply.signature, "u");
        EXPECT_EQ(reply.reply.u32s, std::vector<uint32_t>{0}) << method;
        seed += 0x10;
    }
    ASSERT_TRUE(lanhost.wait_for("", 5, 3000ms));
    auto calls = lanhost.calls();
    ASSERT_EQ(calls.size(), 5u);
    seed = 0x10;
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].member, kMethods[i]);
        EXPECT_EQ(calls[i].interface, "arvex.lanhostd");
        EXPECT_EQ(calls[i].bytes(), pattern(8, seed));
        seed += 0x10;
    }
}

TEST_F(BusMethods, ForwardedBytesNeverGoBeyondTheSlot)
{
    ASSERT_TRUE(service.ready());
    Bytes long_arg = pattern(20, 3);
    ASSERT_TRUE(call("notifyDeviceCategoryInfo", long_arg, 20).ok); // cut to the slot
    ASSERT_TRUE(call("notifyDeviceCategoryInfo", long_arg, 0xFFFFFFFF).ok);
    ASSERT_TRUE(call("notifyDeviceCategoryInfo", {9, 8, 7}, 8).ok);     // slot zero-filled
    ASSERT_TRUE(call("notifyDeviceCategoryInfo", pattern(8, 5), 2).ok); // the length given
    ASSERT_TRUE(call("notifyDeviceCategoryInfo", {}, 0).ok);
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceCategoryInfo", 5, 3000ms));
    auto calls = lanhost.calls("notifyDeviceCategoryInfo");
    ASSERT_EQ(calls.size(), 5u);
    Bytes first8(long_arg.begin(), long_arg.begin() + 8);
    EXPECT_EQ(calls[0].bytes(), first8);
    EXPECT_EQ(calls[1].bytes(), first8);
    EXPECT_EQ(calls[2].bytes(), (Bytes{9, 8, 7, 0, 0, 0, 0, 0}));
    EXPECT_EQ(calls[3].bytes(), (Bytes{pattern(8, 5)[0], pattern(8, 5)[1]}));
    EXPECT_EQ(calls[4].bytes(), Bytes{});
}

TEST_F(BusMethods, OtherCallsGetErrorsAndForwardNothing)
{
    CaptureFd log(STDERR_FILENO);
    ASSERT_TRUE(service.ready());

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
        EXPECT_FALSE(reply.ok) << bad.member;
        EXPECT_EQ(reply.error, bad.error) << bad.interface << "." << bad.member;
    }

    // A good call afterwards is the only one the LAN host daemon sees.
    ASSERT_TRUE(call("notifySyncAllDevices", {1}, 1).ok);
    ASSERT_TRUE(lanhost.wait_for("", 1, 3000ms));
    std::this_thread::sleep_for(100ms);
    auto calls = lanhost.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].member, "notifySyncAllDevices");

    std::string text = log.text();
    EXPECT_NE(text.find("<3> onArvexKvxZelmoDispatch:"), std::string::npos) << text;
    EXPECT_NE(text.find(": unknown message: notifyDeviceRemoved\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": unknown message: notifyDeviceAdded\n"), std::string::npos) << text;
}

} // namespace
