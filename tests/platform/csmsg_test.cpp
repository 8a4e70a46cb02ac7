// The message service: real datagram sockets below a temporary root.
#include "fixture/fixture.h"
#include "platform/csmsg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
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

// A socket left behind by a killed daemon is replaced at its next start:
// PowerCut and CaptureSchedule restart the binary after SIGKILL. The event
// handle is served by LocalChannel.
TEST(CsMsg, BindsReceivesAndSendsWholeDatagrams)
{
    GatewayRoot root;
    CsMsgHandle h = nullptr, tool = nullptr;
    ASSERT_EQ(csMsg_init(ZELMO_APP_ID, &h), 0);
    ASSERT_EQ(csMsg_init(200, &tool), 0);
    EXPECT_TRUE(file_exists(root.file("/var/run/csmsg/200.sock")));

    DeviceUpdateMessage msg =
        make_host_update_message(make_lanhost("aa:bb:cc:dd:ee:01"), STATUS_ACTIVE, "Reachable");
    ASSERT_TRUE(send_message(msg));
    Received r = receive(h);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(memcmp(r.block, &msg, sizeof msg), 0);

    // From a bound and from an unbound sender; nobody bound at 999.
    CsMsgHeader header{};
    header.type.set(CSMSG_TYPE_SET_LOG_LEVEL);
    header.value.set(7);
    ASSERT_EQ(csMsg_send(tool, ZELMO_APP_ID, &header, sizeof header), 0);
    ASSERT_EQ(csMsg_send(nullptr, ZELMO_APP_ID, &header, sizeof header), 0);
    for (int i = 0; i < 2; ++i) {
        Received level = receive(h);
        ASSERT_EQ(level.rc, 0);
        EXPECT_EQ(memcmp(level.block, &header, sizeof header), 0);
    }
    EXPECT_NE(csMsg_send(tool, 999, &header, sizeof header), 0);

    // Nothing waiting: a time-out with no block.
    Received none = receive(h, 50);
    EXPECT_NE(none.rc, 0);
    EXPECT_EQ(none.block, nullptr);
    EXPECT_NE(csMsg_receiveWithTimeout(nullptr, nullptr, 0), 0);
    csMsg_close(tool);
    csMsg_close(h);
    EXPECT_FALSE(file_exists(root.file("/var/run/csmsg/161.sock")));
}

TEST(CsMsg, ShortDatagramsAreZeroExtendedOversizedOnesDropped)
{
    GatewayRoot root;
    CsMsgHandle h = nullptr;
    ASSERT_EQ(csMsg_init(ZELMO_APP_ID, &h), 0);

    // Ten bytes and an empty datagram: a whole zero-extended header comes back.
    Bytes tiny = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (const Bytes &sent : {tiny, Bytes{}}) {
        ASSERT_TRUE(send_datagram(sent));
        Received r = receive(h);
        ASSERT_EQ(r.rc, 0);
        Bytes expect = sent;
        expect.resize(32, 0);
        EXPECT_EQ(Bytes(r.block, r.block + 32), expect);
    }

    // A header announcing 2904 bytes, only 100 bytes sent: the block holds
    // all 2936 bytes (sanitizers check the size), the missing ones zero.
    DeviceUpdateMessage msg = make_device_update_message(FP_UPNP, STATUS_ACTIVE, "aa:bb:cc:dd:ee:02");
    memset(msg.payload.description.raw, 'x', sizeof msg.payload.description.raw);
    ASSERT_TRUE(send_datagram(&msg, 100));
    Received part = receive(h);
    ASSERT_EQ(part.rc, 0);
    EXPECT_EQ(memcmp(part.block, &msg, 100), 0);
    EXPECT_EQ(Bytes(part.block + 100, part.block + sizeof msg), Bytes(sizeof msg - 100, 0));

    // Ending inside the length field: the block covers the length its
    // zero-extended header shows.
    Bytes cut(26, 0);
    cut[24] = cut[25] = 0xff;
    ASSERT_TRUE(send_datagram(cut));
    Received inside = receive(h);
    ASSERT_EQ(inside.rc, 0);
    EXPECT_EQ(load_le32(inside.block + 24), 0xffffu);
    EXPECT_EQ(inside.block[32 + 0xffff - 1], 0);

    // Larger than any message accepted, or claiming a huge payload: dropped.
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_DEVICE_UPDATE, 0, Bytes(CSMSG_MAX_PAYLOAD + 1, 0x55)));
    CsMsgHeader liar{};
    liar.payloadLength.set(0xffffffffu);
    ASSERT_TRUE(send_message(liar));
    for (int i = 0; i < 2; ++i) {
        Received dropped = receive(h);
        EXPECT_NE(dropped.rc, 0);
        EXPECT_EQ(dropped.block, nullptr);
    }
    // The largest accepted payload still passes, and nothing was left queued.
    ASSERT_TRUE(send_csmsg(0x42, 1, Bytes(CSMSG_MAX_PAYLOAD, 0x66)));
    Received max = receive(h);
    ASSERT_EQ(max.rc, 0);
    EXPECT_EQ(max.block[32 + CSMSG_MAX_PAYLOAD - 1], 0x66);
    EXPECT_NE(receive(h, 50).rc, 0);
    csMsg_close(h);
}

// Only the socket owner's user may send to it: the socket is 0600 whatever
// the umask, and uid 65534 is refused, though it reaches the socket once the
// socket is made writable by others (so the mode alone stops it).
TEST(CsMsg, OnlyTheOwnersUserMaySend)
{
    // The error text of a datagram sent as uid 65534; empty when it was sent.
    auto send_as_nobody = [](const std::string &text) {
        std::string err;
        ProcessEnd end = run_program(
            {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
             "import socket, sys\n"
             "socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).sendto(sys.argv[2].encode(), "
             "sys.argv[1])",
             csmsg_socket_path(), text},
            nullptr, &err);
        return end.exit_code == 0 ? std::string() : err + " (exit " + std::to_string(end.exit_code) + ")";
    };
    if (geteuid() != 0 || run_program({"setpriv", "--reuid=65534", "true"}).exit_code != 0)
        GTEST_SKIP() << "needs root and setpriv";
    GatewayRoot root;
    chmod(root.path().c_str(), 0755); // traversable by everyone, as /var/run is
    mode_t mask = umask(0);
    CsMsgHandle h = nullptr;
    int rc = csMsg_init(ZELMO_APP_ID, &h);
    umask(mask);
    ASSERT_EQ(rc, 0);
    struct stat st {
    };
    ASSERT_EQ(stat(csmsg_socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    EXPECT_NE(send_as_nobody("refused").find("PermissionError"), std::string::npos);
    EXPECT_NE(receive(h, 200).rc, 0);
    ASSERT_EQ(chmod(csmsg_socket_path().c_str(), 0666), 0);
    EXPECT_EQ(send_as_nobody("through"), "");
    Received r = receive(h);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(memcmp(r.block, "through", 7), 0);
    csMsg_close(h);
}
