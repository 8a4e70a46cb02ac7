#include "fixture/fixture.h"
#include "platform/csmsg.h"
#include "platform/root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

struct Received {
    int rc;
    uint8_t *block;
    ~Received() { free(block); }
};

Received receive(CsMsgHandle h, int timeoutMs = 2000)
{
    void *block = reinterpret_cast<void *>(1); // must be reset on failure
    int rc = csMsg_receiveWithTimeout(h, &block, timeoutMs);
    return {rc, static_cast<uint8_t *>(block)};
}

} // namespace

TEST(CsMsg, BindsItsSocketAndRoundTripsAMessage)
{
    GatewayRoot root;
    // A socket file left by an earlier run is replaced.
    ASSERT_EQ(make_dirs(root.file("/var/run/csmsg")), 0);
    {
        int stale = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        str_copy(addr.sun_path, sizeof addr.sun_path, root.file("/var/run/csmsg/161.sock").c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        close(stale);
    }
    CsMsgHandle h = nullptr;
    ASSERT_EQ(csMsg_init(ZELMO_APP_ID, &h), 0);
    EXPECT_EQ(csmsg_socket_path(), root.file("/var/run/csmsg/161.sock"));
    int fd = -1;
    ASSERT_EQ(csMsg_getEventHandle(h, &fd), 0);

    DeviceUpdateMessage msg =
        make_host_update_message(make_lanhost("aa:bb:cc:dd:ee:01"), STATUS_ACTIVE, "Reachable");
    ASSERT_TRUE(send_message(msg));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    Received r = receive(h);
    ASSERT_EQ(r.rc, 0);
    ASSERT_NE(r.block, nullptr);
    EXPECT_EQ(memcmp(r.block, &msg, sizeof msg), 0);

    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 7, {}));
    Received level = receive(h);
    ASSERT_EQ(level.rc, 0);
    const auto *header = reinterpret_cast<const CsMsgHeader *>(level.block);
    EXPECT_EQ(header->type.get(), CSMSG_TYPE_SET_LOG_LEVEL);
    EXPECT_EQ(header->value.get(), 7u);
    EXPECT_EQ(header->payloadLength.get(), 0u);

    // Nothing waiting: a time-out with no block.
    Received none = receive(h, 50);
    EXPECT_NE(none.rc, 0);
    EXPECT_EQ(none.block, nullptr);
    csMsg_close(h);
    EXPECT_FALSE(file_exists(root.file("/var/run/csmsg/161.sock")));
}

TEST(CsMsg, ShortDatagramsAreZeroExtended)
{
    GatewayRoot root;
    CsMsgHandle h = nullptr;
    ASSERT_EQ(csMsg_init(ZELMO_APP_ID, &h), 0);

    // Ten bytes: a whole zero-extended header comes back.
    Bytes tiny = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(send_datagram(tiny));
    Received r1 = receive(h);
    ASSERT_EQ(r1.rc, 0);
    EXPECT_EQ(Bytes(r1.block, r1.block + 10), tiny);
    EXPECT_EQ(Bytes(r1.block + 10, r1.block + 32), Bytes(22, 0));

    // A header announcing 2904 bytes, only 100 bytes sent: the block holds
    // all 2936 bytes (sanitizers check the size), the missing ones zero.
    DeviceUpdateMessage msg = make_device_update_message(FP_UPNP, STATUS_ACTIVE, "aa:bb:cc:dd:ee:02");
    memset(msg.payload.description.raw, 'x', sizeof msg.payload.description.raw);
    ASSERT_TRUE(send_datagram(&msg, 100));
    Received r2 = receive(h);
    ASSERT_EQ(r2.rc, 0);
    EXPECT_EQ(memcmp(r2.block, &msg, 100), 0);
    size_t zeros = 0;
    for (size_t i = 100; i < sizeof msg; ++i)
        zeros += r2.block[i] == 0;
    EXPECT_EQ(zeros, sizeof msg - 100);

    // An empty datagram is an all-zero header.
    ASSERT_TRUE(send_datagram(Bytes{}));
    Received r3 = receive(h);
    ASSERT_EQ(r3.rc, 0);
    EXPECT_EQ(Bytes(r3.block, r3.block + 32), Bytes(32, 0));
    csMsg_close(h);
}

TEST(CsMsg, OversizedAndGarbageDatagramsAreDropped)
{
    GatewayRoot root;
    CsMsgHandle h = nullptr;
    ASSERT_EQ(csMsg_init(ZELMO_APP_ID, &h), 0);

    // Larger than any message accepted.
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_DEVICE_UPDATE, 0, Bytes(CSMSG_MAX_PAYLOAD + 1, 0x55)));
    Received big = receive(h);
    EXPECT_NE(big.rc, 0);
    EXPECT_EQ(big.block, nullptr);

    // A header claiming a huge payload.
    CsMsgHeader liar{};
    liar.type.set(CSMSG_TYPE_DEVICE_UPDATE);
    liar.payloadLength.set(0xffffffffu);
    ASSERT_TRUE(send_message(liar));
    Received lie = receive(h);
    EXPECT_NE(lie.rc, 0);
    EXPECT_EQ(lie.block, nullptr);

    // The largest accepted payload still passes, and nothing was left queued.
    ASSERT_TRUE(send_csmsg(0x42, 1, Bytes(CSMSG_MAX_PAYLOAD, 0x66)));
    Received max = receive(h);
    ASSERT_EQ(max.rc, 0);
    EXPECT_EQ(max.block[32 + CSMSG_MAX_PAYLOAD - 1], 0x66);
    EXPECT_NE(receive(h, 50).rc, 0);

    EXPECT_NE(csMsg_receiveWithTimeout(nullptr, nullptr, 0), 0);
    csMsg_close(h);
}

TEST(CsMsg, SendReachesAnotherApplication)
{
    GatewayRoot root;
    CsMsgHandle zelmo = nullptr, tool = nullptr;
    ASSERT_EQ(csMsg_init(ZELMO_APP_ID, &zelmo), 0);
    ASSERT_EQ(csMsg_init(200, &tool), 0);
    EXPECT_TRUE(file_exists(root.file("/var/run/csmsg/200.sock")));

    CsMsgHeader h{};
    h.type.set(0x1234);
    h.srcAppId.set(200);
    ASSERT_EQ(csMsg_send(tool, ZELMO_APP_ID, &h, sizeof h), 0);
    ASSERT_EQ(csMsg_send(nullptr, ZELMO_APP_ID, &h, sizeof h), 0); // unbound sender
    for (int i = 0; i < 2; ++i) {
        Received r = receive(zelmo);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(memcmp(r.block, &h, sizeof h), 0);
    }
    // Nobody bound at 999.
    EXPECT_NE(csMsg_send(tool, 999, &h, sizeof h), 0);
    csMsg_close(tool);
    csMsg_close(zelmo);
}
