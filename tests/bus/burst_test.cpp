// Bursts of signals: the bus thread hands every one over in order and never
// waits for the main thread, even when the local pipe is full.
#include "bus_harness.h"

#include "frame/frame.h"

#include <fcntl.h>
#include <gtest/gtest.h>

namespace
{

Bytes numbered(uint32_t n)
{
    Bytes bytes = pattern(24, uint8_t(n));
    store_le32(bytes.data(), n);
    return bytes;
}

// Queues count signals on the client's connection and flushes once.
void send_burst(BusClient &client, uint32_t first, uint32_t count)
{
    for (uint32_t n = first; n < first + count; ++n) {
        DBusMessagePtr signal(
            dbus_message_new_signal("/arvex/lanhostd", "arvex.lanhostd", "setLanhostEntry"));
        Bytes payload = numbered(n);
        ASSERT_TRUE(dbus_append_byte_array(signal.get(), payload.data(), payload.size()));
        ASSERT_TRUE(dbus_connection_send(client.connection(), signal.get(), nullptr));
    }
    dbus_connection_flush(client.connection());
}

TEST(BusBurst, TenThousandSignalsArriveAllInOrder)
{
    PrivateBus bus;
    ServiceThread service(bus);
    ASSERT_TRUE(service.ready());
    constexpr uint32_t kCount = 10000;

    std::vector<Delivered> got;
    std::thread reader([&] {
        while (got.size() < kCount) {
            auto message = service.next(10000ms);
            if (!message)
                break;
            got.push_back(std::move(*message));
        }
    });
    BusClient client;
    send_burst(client, 0, kCount);
    reader.join();

    ASSERT_EQ(got.size(), kCount);
    for (uint32_t n = 0; n < kCount; ++n) {
        ASSERT_EQ(got[n].type, 5u) << n;
        ASSERT_EQ(got[n].payload, numbered(n)) << n;
    }
}

TEST(BusBurst, FullPipeLosesSignalsButNeverStopsTheBusThread)
{
    CaptureFd log(STDERR_FILENO);
    PrivateBus bus;
    ServiceThread service(bus);
    ASSERT_TRUE(service.ready());
    // The smallest pipe the kernel gives: one page of messages.
    ASSERT_GT(fcntl(local_pipe[1], F_SETPIPE_SZ, 4096), 0);
    constexpr uint32_t kCount = 600;

    BusClient client;
    send_burst(client, 0, kCount);
    // Nobody reads the pipe, yet the loop still serves the bus: it answered
    // every signal before this call.
    ASSERT_TRUE(wait_service_ready(client, 3000ms));

    std::vector<Delivered> got;
    while (auto message = service.next(0ms))
        got.push_back(std::move(*message));
    size_t lost = log.count("[zelmo] Sending Msg to ZELMO local unix fd failed..!");
    EXPECT_GT(got.size(), 0u);
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(got.size() + lost, kCount);
    for (uint32_t n = 0; n < got.size(); ++n)
        ASSERT_EQ(got[n].payload, numbered(n)) << n;

    // With room again, the next signal gets through.
    send_burst(client, kCount, 1);
    auto next = service.next();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->payload, numbered(kCount));
}

} // namespace
