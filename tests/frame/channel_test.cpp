// The local message channel and the routing of local messages, in process:
// real pipes and socket pairs, the real log library writing to a captured
// standard error.
#include "fixture/fixture.h"
#include "frame/capture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

// Creates the channel in the given mode and closes it again afterwards.
class Channel
{
  public:
    explicit Channel(int root)
    {
        _g_isRoot = root;
        ok_ = zelmo_create_local_unix_socket() == 0;
    }
    ~Channel()
    {
        drain();
        for (int *fds : {local_pipe, signal_pipe})
            for (int i = 0; i < 2; ++i) {
                if (fds[i] >= 0)
                    close(fds[i]);
                fds[i] = -1;
            }
        _g_isRoot = 1;
    }
    bool ok() const { return ok_; }

    // Reads the next record without dispatching it; false when none waits.
    bool next(LocalMessage &message)
    {
        pollfd p{local_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 0) != 1)
            return false;
        return read(local_pipe[0], &message, sizeof message) == ssize_t(sizeof message);
    }
    // Frees every record still waiting; returns how many there were.
    size_t drain()
    {
        size_t count = 0;
        LocalMessage message{};
        while (local_pipe[0] >= 0 && next(message)) {
            free(message.payload);
            ++count;
        }
        return count;
    }

  private:
    bool ok_ = false;
};

// A log-control payload: 64-byte name, then the u32 value.
Bytes log_control(const std::string &name, uint32_t value, size_t length = 68)
{
    Bytes payload(length > 68 ? length : 68, 0);
    memcpy(payload.data(), name.data(), name.size() < 64 ? name.size() : 64);
    store_le32(payload.data() + 64, value);
    payload.resize(length);
    return payload;
}

// Sends through the channel and serves it as the main thread would.
void deliver(uint32_t type, const Bytes &payload)
{
    ASSERT_EQ(zelmo_send_to_localfd(type, payload.data(), uint32_t(payload.size())), 0);
    zelmo_process_localunix_msg(local_pipe[0]);
}

// Whether a debug line written now reaches standard error.
bool debug_lines_written()
{
    CaptureFd err(STDERR_FILENO);
    log_log(ZLOG_DEBUG, "probe", 1, "debug probe\n");
    return err.text().find("debug probe") != std::string::npos;
}

} // namespace

TEST(LocalChannel, PayloadIsCopiedWithTerminatorAndTheBusSideNeverBlocks)
{
    Channel channel(1);
    ASSERT_TRUE(channel.ok());
    ASSERT_GE(signal_pipe[0], 0);
    ASSERT_GE(signal_pipe[1], 0);

    // The timer pair takes far more pending expiries than the table has
    // devices, without the sender ever waiting.
    for (uint32_t handle = 1; handle <= 1000; ++handle)
        ASSERT_EQ(send(signal_pipe[1], &handle, sizeof handle, MSG_DONTWAIT), 4) << handle;
    for (uint32_t handle = 1; handle <= 1000; ++handle) {
        uint32_t got = 0;
        ASSERT_EQ(read(signal_pipe[0], &got, sizeof got), 4);
        EXPECT_EQ(got, handle);
    }

    // The record carries the length and a private copy followed by a NUL.
    uint8_t payload[5] = {'a', 'b', 0, 'c', 'd'};
    ASSERT_EQ(zelmo_send_to_localfd(LM_SET_LANHOST_ENTRY, payload, sizeof payload), 0);
    memset(payload, 'x', sizeof payload);
    LocalMessage message{};
    ASSERT_TRUE(channel.next(message));
    EXPECT_EQ(message.type, uint32_t(LM_SET_LANHOST_ENTRY));
    EXPECT_EQ(message.length, 5u);
    EXPECT_EQ(memcmp(message.payload, "ab\0cd\0", 6), 0);
    free(message.payload);

    // An empty payload still arrives as a block holding the NUL.
    ASSERT_EQ(zelmo_send_to_localfd(LM_FP_MSG, nullptr, 0), 0);
    ASSERT_TRUE(channel.next(message));
    EXPECT_EQ(message.length, 0u);
    ASSERT_NE(message.payload, nullptr);
    EXPECT_EQ(message.payload[0], 0);
    free(message.payload);

    // A burst of thousands of signals while the main thread is busy is kept whole and in order.
    CaptureFd err(STDERR_FILENO);
    cslibLog_setDestination(1);
    const uint32_t burst = 20000;
    for (uint32_t i = 0; i < burst; ++i)
        ASSERT_EQ(zelmo_send_to_localfd(LM_SET_LANHOST_ENTRY, &i, sizeof i), 0);
    for (uint32_t i = 0; i < burst; ++i) {
        ASSERT_TRUE(channel.next(message)) << i;
        EXPECT_EQ(load_le32(message.payload), i);
        free(message.payload);
    }
    EXPECT_EQ(err.text().find("failed"), std::string::npos);

    // When the pipe is full after all, the bus side does not wait: the
    // signal is logged as lost and the messages already queued stay intact.
    LocalMessage filler[256] = {};
    size_t queued = 0;
    for (;;) {
        ssize_t n = write(local_pipe[1], filler, sizeof filler);
        if (n <= 0)
            break;
        queued += size_t(n) / sizeof(LocalMessage);
    }
    while (write(local_pipe[1], filler, sizeof(LocalMessage)) == ssize_t(sizeof(LocalMessage)))
        ++queued;
    EXPECT_GE(queued, 65536u); // the 1 MiB pipe
    uint32_t lost = 1;
    EXPECT_EQ(zelmo_send_to_localfd(LM_SET_LANHOST_ENTRY, &lost, sizeof lost), 0);
    EXPECT_EQ(count_of(err.text(), "[zelmo] Sending Msg to ZELMO local unix fd failed..!"), 1u);
    err.restore();
    EXPECT_EQ(channel.drain(), queued);
}

TEST(LocalChannel, ExtenderModeHasNoTimerPairAndSendingWithoutChannelIsHarmless)
{
    ASSERT_EQ(zelmo_send_to_localfd(LM_FP_MSG, "x", 1), 0); // no channel yet: dropped
    Channel channel(0);
    ASSERT_TRUE(channel.ok());
    EXPECT_GE(local_pipe[0], 0);
    EXPECT_EQ(signal_pipe[0], -1);
    EXPECT_EQ(signal_pipe[1], -1);
}

TEST(LocalDispatch, RejectsBadMessagesAndLogsUnknownTypes)
{
    CaptureFd err(STDERR_FILENO);
    cslibLog_setDestination(1);
    cslibLog_setLevel(6);
    uint8_t byte[1] = {0};
    LocalMessage message{LM_FP_MSG, 0, byte};
    EXPECT_EQ(zelmo_handle_recv_msg(nullptr), -1);
    message.type = LM_TYPE_LIMIT;
    EXPECT_EQ(zelmo_handle_recv_msg(&message), -1);
    message.type = 0xffffffffu;
    EXPECT_EQ(zelmo_handle_recv_msg(&message), -1);
    message.type = LM_FP_MSG;
    message.payload = nullptr;
    EXPECT_EQ(zelmo_handle_recv_msg(&message), -1);
    EXPECT_EQ(count_of(err.text(), "Invalid IPC msg type"), 0u);

    // Handlers that do nothing: accepted silently.
    message.payload = byte;
    message.type = LM_JSON_DEVICE_UPDATE;
    EXPECT_EQ(zelmo_handle_recv_msg(&message), 0);
    message.type = LM_FP_MSG;
    EXPECT_EQ(zelmo_handle_recv_msg(&message), 0);
    EXPECT_EQ(count_of(err.text(), "Invalid IPC msg type"), 0u);

    // The set-critical-device type and the unused types have no handler.
    for (uint32_t type : {10u, 12u, 15u}) {
        message.type = type;
        EXPECT_EQ(zelmo_handle_recv_msg(&message), 0);
    }
    EXPECT_EQ(count_of(err.text(), "[zelmo] Invalid IPC msg type\n"), 3u);
}

TEST(LocalDispatch, LogControlSignalsApplyOnlyWhenAddressedToUsWithExactSize)
{
    Channel channel(1);
    ASSERT_TRUE(channel.ok());
    cslibLog_setDestination(1);
    cslibLog_setLevel(6);
    log_opt = 0;
    ASSERT_FALSE(debug_lines_written());

    // Wrong sizes, other daemons and prefixes of our name change nothing.
    deliver(LM_SET_LOG_LEVEL, log_control("zelmo", 7, 67));
    deliver(LM_SET_LOG_LEVEL, log_control("zelmo", 7, 69));
    deliver(LM_SET_LOG_LEVEL, log_control("lanhostd", 7));
    deliver(LM_SET_LOG_LEVEL, log_control("zelm", 7));
    deliver(LM_SET_LOG_LEVEL, log_control("zelmo2", 7));
    EXPECT_FALSE(debug_lines_written());

    // The real thing raises the level, without touching the debug switch.
    deliver(LM_SET_LOG_LEVEL, log_control("zelmo", 7));
    EXPECT_TRUE(debug_lines_written());
    EXPECT_EQ(log_opt, 0);
    deliver(LM_SET_LOG_LEVEL, log_control("zelmo", 6));
    EXPECT_FALSE(debug_lines_written());

    // The destination: 2 moves the lines away from standard error, 1 brings them back.
    {
        CaptureFd err(STDERR_FILENO);
        deliver(LM_SET_LOG_DESTINATION, log_control("zelmo", 2, 69));
        deliver(LM_SET_LOG_DESTINATION, log_control("other", 2));
        ZLOG(ZLOG_ERR, "still on stderr\n");
        deliver(LM_SET_LOG_DESTINATION, log_control("zelmo", 2));
        ZLOG(ZLOG_ERR, "gone to syslog\n");
        zelmo_setLogDestination(1);
        ZLOG(ZLOG_ERR, "back on stderr\n");
        std::string text = err.text();
        EXPECT_NE(text.find("still on stderr"), std::string::npos);
        EXPECT_EQ(text.find("gone to syslog"), std::string::npos);
        EXPECT_NE(text.find("back on stderr"), std::string::npos);
    }
    EXPECT_EQ(channel.drain(), 0u); // every payload was served and freed
}

TEST(LocalDispatch, BrokenReadIsReportedAndNothingDispatched)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    CaptureFd err(STDERR_FILENO);
    zelmo_process_localunix_msg(fds[0]);
    close(fds[0]);
    EXPECT_EQ(err.text().rfind("read: ", 0), 0u) << err.text();
}
