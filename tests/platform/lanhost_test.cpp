#include "fixture/fixture.h"
#include "platform/lanhost.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{

Bytes pattern(size_t size, uint8_t seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

} // namespace

TEST(LanHostClient, EachCallIsOneWayMethodCallWithExactBytesAlsoFromTwoThreads)
{
    GatewayRoot root;
    PrivateBus bus;
    RecordingLanHost lanhost;

    struct Case {
        LanHostNotifyFn fn;
        const char *member;
        Bytes bytes;
    };
    // Which function sends which member is checked by BusMethods; here the
    // message shape, the largest and the empty payload.
    std::vector<Case> cases = {{notifyDeviceStatusChange, "notifyDeviceStatusChange", pattern(4941, 2)},
                               {notifySyncAllDevices, "notifySyncAllDevices", pattern(1262601, 4)},
                               {notifyDeviceAdded, "notifyDeviceAdded", Bytes{}}};
    for (const Case &c : cases)
        EXPECT_EQ(c.fn(c.bytes.data(), uint32_t(c.bytes.size())), 0) << c.member;
    EXPECT_EQ(lh_UpdateZelmoDevice(), 0);

    ASSERT_TRUE(lanhost.wait_for("", cases.size() + 1, 5000ms));
    std::vector<BusMessage> calls = lanhost.calls();
    ASSERT_EQ(calls.size(), cases.size() + 1);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].member);
        EXPECT_EQ(calls[i].member, cases[i].member);
        EXPECT_EQ(calls[i].destination, "arvex.lanhostd");
        EXPECT_EQ(calls[i].path, "/arvex/lanhostd");
        EXPECT_EQ(calls[i].interface, "arvex.lanhostd");
        EXPECT_EQ(calls[i].signature, "ay");
        EXPECT_TRUE(calls[i].no_reply);
        EXPECT_EQ(calls[i].bytes(), cases[i].bytes);
    }
    EXPECT_EQ(calls.back().member, "UpdateZelmoDevice");
    EXPECT_EQ(calls.back().signature, "");
    EXPECT_TRUE(calls.back().no_reply);

    // A message without bytes is refused.
    EXPECT_EQ(notifyDeviceAdded(nullptr, 10), -1);

    // Two threads at once: each thread's calls arrive whole and in its order.
    lanhost.clear();
    constexpr int kPerThread = 150;
    auto run = [](uint8_t thread) {
        for (int i = 0; i < kPerThread; ++i) {
            Bytes b = pattern(4941, uint8_t(i));
            b[0] = thread;
            b[1] = uint8_t(i);
            EXPECT_EQ(notifyDeviceStatusChange(b.data(), uint32_t(b.size())), 0);
        }
    };
    std::thread t1(run, 1), t2(run, 2);
    t1.join();
    t2.join();
    ASSERT_TRUE(lanhost.wait_for("notifyDeviceStatusChange", 2 * kPerThread, 10000ms));
    int next[3] = {0, 0, 0};
    for (const BusMessage &c : lanhost.calls()) {
        const Bytes &b = c.bytes();
        ASSERT_EQ(b.size(), 4941u);
        ASSERT_TRUE(b[0] == 1 || b[0] == 2);
        EXPECT_EQ(b[1], uint8_t(next[b[0]]));
        Bytes expect = pattern(4941, b[1]);
        EXPECT_TRUE(std::equal(b.begin() + 2, b.end(), expect.begin() + 2));
        ++next[b[0]];
    }
    EXPECT_EQ(next[1], kPerThread);
    EXPECT_EQ(next[2], kPerThread);
}
