// Registration of the bus service: the name, the match rules, and the
// failures after which the bus thread ends without bus input.
#include "bus_harness.h"

#include "bus/bus.h"
#include "frame/frame.h"
#include "platform/ombus.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

// Runs start_zelmo_service() on a thread that is expected to end by itself;
// if it does not, the bus is stopped so the test can still join it.
int run_expecting_return(PrivateBus *bus, bool *returned)
{
    std::atomic<bool> done{false};
    int result = -1;
    std::thread thread([&] {
        result = start_zelmo_service();
        done = true;
    });
    *returned = wait_until([&] { return done.load(); }, 5000ms);
    if (!*returned && bus != nullptr)
        bus->stop();
    thread.join();
    return result;
}

TEST(BusService, NameOwnedElsewhereEndsTheServiceWithoutBusInput)
{
    PrivateBus bus;
    BusClient owner;
    ASSERT_TRUE(owner.request_name("arvex.kvx.zelmo"));
    _g_isRoot = 0;
    ASSERT_EQ(zelmo_create_local_unix_socket(), 0);
    CaptureFd log(STDERR_FILENO);

    bool returned = false;
    int result = run_expecting_return(&bus, &returned);
    EXPECT_TRUE(returned);
    EXPECT_EQ(result, OMBUS_ERR_NAME);

    std::string text = log.text();
    size_t first = text.find("<3> register_zelmo_service:");
    size_t second = text.find("<3> start_zelmo_service:");
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
    EXPECT_NE(text.find(": failed to request bus name for zelmo service\n", first), std::string::npos);
    EXPECT_NE(text.find(": failed to register zelmo service\n", second), std::string::npos);
    EXPECT_EQ(text.find("failed to register ArvexKvxZelmo interface"), std::string::npos);

    // No subscription was made: signals do not reach the main-thread side.
    BusClient sender;
    ASSERT_TRUE(sender.emit_signal("arvex.lanhostd", "setLanhostEntry", {1, 2, 3}));
    EXPECT_FALSE(read_local_message(local_pipe[0], 300ms).has_value());

    close(local_pipe[0]);
    close(local_pipe[1]);
    local_pipe[0] = local_pipe[1] = -1;
}

TEST(BusService, NoBusEndsTheServiceAtOnce)
{
    use_test_bus_address(); // nobody listens there now
    CaptureFd log(STDERR_FILENO);
    bool returned = false;
    int result = run_expecting_return(nullptr, &returned);
    EXPECT_TRUE(returned);
    EXPECT_EQ(result, OMBUS_ERR_NO_BUS);
    EXPECT_EQ(log.count("failed to request bus name for zelmo service\n"), 1u);
    EXPECT_EQ(log.count("failed to register zelmo service\n"), 1u);
}

TEST(BusService, SubscriptionsAreAddedAndRemovedOnTheBus)
{
    PrivateBus bus;
    BusClient observer;
    ASSERT_EQ(register_zelmo_service(), 0);
    ASSERT_EQ(register_zelmo_signal(), 0);
    // Sixteen table entries and the option 55 subscription.
    EXPECT_EQ(match_rule_count(observer, "arvex.kvx.zelmo"), 17);
    EXPECT_EQ(deregister_zelmo_signal(), 0);
    EXPECT_EQ(match_rule_count(observer, "arvex.kvx.zelmo"), 0);
    // Removing what is no longer there fails on the bus and is reported.
    EXPECT_NE(deregister_zelmo_signal(), 0);

    // The loop ends with the bus and leaves nothing behind: a second round
    // on a new bus starts from scratch.
    bus.stop();
    EXPECT_EQ(ombusMainLoop(), OMBUS_OK);
    EXPECT_EQ(ombusMainLoop(), OMBUS_ERR_NO_BUS);
    PrivateBus again;
    BusClient observer2;
    ASSERT_EQ(register_zelmo_service(), 0);
    ASSERT_EQ(register_zelmo_signal(), 0);
    EXPECT_EQ(match_rule_count(observer2, "arvex.kvx.zelmo"), 17);
    again.stop();
    EXPECT_EQ(ombusMainLoop(), OMBUS_OK);
}

} // namespace
