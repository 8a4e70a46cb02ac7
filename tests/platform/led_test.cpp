#include "fixture/fixture.h"
#include "platform/led.h"

#include <gtest/gtest.h>

TEST(Led, EmitsLedFeatureEnable)
{
    GatewayRoot root;
    EXPECT_EQ(sendLedFeatureEnableSignal("zelmo", 1), -1); // no bus
    PrivateBus bus;
    BusClient client;
    ASSERT_TRUE(client.listen("type='signal',interface='arvex.led'"));
    ASSERT_EQ(sendLedFeatureEnableSignal("zelmo", 1), 0);
    ASSERT_EQ(sendLedFeatureEnableSignal("zelmo", 0), 0);
    for (uint32_t flag : {1u, 0u}) {
        std::optional<BusMessage> s = client.wait_signal("arvex.led", "LedFeatureEnable", 5000ms);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->path, "/arvex/led");
        EXPECT_EQ(s->signature, "su");
        EXPECT_EQ(s->strings, std::vector<std::string>{"zelmo"});
        EXPECT_EQ(s->u32s, std::vector<uint32_t>{flag});
    }
    EXPECT_EQ(sendLedFeatureEnableSignal("bad\xff", 1), -1); // not sendable as bus text
    EXPECT_FALSE(client.wait_signal("arvex.led", "LedFeatureEnable", 100ms));
}
