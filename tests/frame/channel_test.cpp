// The local message channel, the routing of local messages and the main
// loop's wake-ups, in process: real pipes, socket pairs and message-service
// socket below a temporary root, the real log library writing to a captured
// standard error.
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>

namespace
{

constexpr uint32_t kUnknownCsMsgType = 0x10002700;

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Root-mode channel and message service, log lines on standard error.
class LocalChannel : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        _g_isRoot = 1;
        ASSERT_EQ(zelmo_create_local_unix_socket(), 0);
        ASSERT_EQ(csMsg_init(ZELMO_APP_ID, &msgHandle), 0);
        ASSERT_EQ(csMsg_getEventHandle(msgHandle, &csmsg_fd), 0);
        cslibLog_setDestination(1);
        cslibLog_setLevel(ZLOG_INFO);
    }
    void TearDown() override
    {
        LocalMessage message{};
        while (next(message))
            free(message.payload);
        for (int *fds : {local_pipe, signal_pipe})
            for (int i = 0; i < 2; ++i) {
                close(fds[i]);
                fds[i] = -1;
            }
        csMsg_close(msgHandle);
        msgHandle = nullptr;
        csmsg_fd = -1;
    }
    // Takes the next record off the pipe without dispatching it.
    static bool next(LocalMessage &message)
    {
        return readable(local_pipe[0]) && read(local_pipe[0], &message, sizeof message) == sizeof message;
    }
    GatewayRoot root_;
};

// Log-control payload: 64-byte name, then the u32 value.
Bytes log_control(const std::string &name, uint32_t value, size_t length = 68)
{
    Bytes payload(69, 0);
    memcpy(payload.data(), name.data(), name.size());
    store_le32(payload.data() + 64, value);
    payload.resize(length);
    return payload;
}

// Through the channel and served as the main thread would.
void deliver(uint32_t type, const Bytes &payload)
{
    ASSERT_EQ(zelmo_send_to_localfd(type, payload.data(), uint32_t(payload.size())), 0);
    ASSERT_EQ(zelmo_serve_main_fds_once(), local_pipe[0]);
}

bool debug_lines_written()
{
    CaptureFd err(STDERR_FILENO);
    log_log(ZLOG_DEBUG, "probe", 1, "debug probe\n");
    return err.count("debug probe") == 1;
}

void no_op(int)
{
}

} // namespace

TEST_F(LocalChannel, PayloadIsCopiedAndAFullPipeNeverBlocksTheSender)
{
    uint8_t payload[5] = {'a', 'b', 0, 'c', 'd'};
    ASSERT_EQ(zelmo_send_to_localfd(LM_SET_LANHOST_ENTRY, payload, sizeof payload), 0);
    memset(payload, 'x', sizeof payload);
    LocalMessage message{};
    ASSERT_TRUE(next(message));
    EXPECT_EQ(message.type, uint32_t(LM_SET_LANHOST_ENTRY));
    EXPECT_EQ(message.length, 5u);
    EXPECT_EQ(memcmp(message.payload, "ab\0cd\0", 6), 0); // a private copy, NUL after it
    free(message.payload);

    // The pipe holds 65536 records; filled up all the same, the message is
    // logged as lost and nothing waits. (BusBurst checks that the records
    // queued before stay whole and in order.)
    CaptureFd err(STDERR_FILENO);
    LocalMessage filler[256] = {};
    size_t queued = 0;
    while (write(local_pipe[1], filler, sizeof filler) == sizeof filler)
        queued += 256;
    EXPECT_GE(queued, 65536u);
    EXPECT_EQ(zelmo_send_to_localfd(LM_SET_LANHOST_ENTRY, payload, 1), 0);
    EXPECT_EQ(err.count("[zelmo] Sending Msg to ZELMO local unix fd failed..!"), 1u);

    // The timer pair takes far more pending expiries than the table has devices.
    for (uint32_t handle = 1; handle <= 1000; ++handle)
        ASSERT_EQ(send(signal_pipe[1], &handle, sizeof handle, MSG_DONTWAIT), 4) << handle;
}

TEST_F(LocalChannel, DispatchRejectsBadMessagesAndLogControlNeedsItsExactPayload)
{
    CaptureFd err(STDERR_FILENO);
    uint8_t byte[1] = {0};
    LocalMessage message{LM_TYPE_LIMIT, 1, byte};
    EXPECT_EQ(zelmo_handle_recv_msg(nullptr), -1);
    EXPECT_EQ(zelmo_handle_recv_msg(&message), -1);
    message = {LM_FP_MSG, 1, nullptr};
    EXPECT_EQ(zelmo_handle_recv_msg(&message), -1);
    for (uint32_t type : {3u, 17u, 10u, 12u, 15u}) { // two handlers that do nothing, three without a handler
        message = {type, 1, byte};
        EXPECT_EQ(zelmo_handle_recv_msg(&message), 0);
    }
    EXPECT_EQ(err.count("[zelmo] Invalid IPC msg type\n"), 3u);

    // Wrong sizes and other names change nothing; the level set here is not the debug switch.
    log_opt = 0;
    for (const Bytes &ignored :
         {log_control("zelmo", 7, 67), log_control("zelmo", 7, 69), log_control("lanhostd", 7),
          log_control("zelm", 7), log_control("zelmo2", 7)})
        deliver(LM_SET_LOG_LEVEL, ignored);
    EXPECT_FALSE(debug_lines_written());
    deliver(LM_SET_LOG_LEVEL, log_control("zelmo", 7));
    EXPECT_TRUE(debug_lines_written());
    EXPECT_EQ(log_opt, 0);
    deliver(LM_SET_LOG_LEVEL, log_control("zelmo", 6));
    EXPECT_FALSE(debug_lines_written());

    deliver(LM_SET_LOG_DESTINATION, log_control("zelmo", 2, 67));
    deliver(LM_SET_LOG_DESTINATION, log_control("other", 2));
    ZLOG(ZLOG_ERR, "still on stderr\n");
    deliver(LM_SET_LOG_DESTINATION, log_control("zelmo", 2)); // syslog
    ZLOG(ZLOG_ERR, "gone to syslog\n");
    zelmo_setLogDestination(1);
    EXPECT_EQ(err.count("still on stderr"), 1u);
    EXPECT_EQ(err.count("gone to syslog"), 0u);
}

TEST_F(LocalChannel, OneDescriptorPerWakeUpMessageServiceThenTimerThenLocal)
{
    CaptureFd err(STDERR_FILENO);
    ASSERT_TRUE(send_csmsg(kUnknownCsMsgType, 0, {}));
    uint32_t timer = 4242;
    ASSERT_EQ(write(signal_pipe[1], &timer, sizeof timer), 4);
    ASSERT_EQ(zelmo_send_to_localfd(LM_SET_CRITICAL_DEVICE, "x", 1), 0);

    EXPECT_EQ(zelmo_serve_main_fds_once(), csmsg_fd);
    EXPECT_EQ(err.count("unsupported msg to Zelmo\n"), 1u);
    EXPECT_TRUE(readable(signal_pipe[0]) && readable(local_pipe[0]));
    EXPECT_EQ(zelmo_serve_main_fds_once(), signal_pipe[0]);
    EXPECT_FALSE(readable(signal_pipe[0])); // the whole 4-byte handle was taken
    EXPECT_EQ(err.count("Invalid IPC msg type"), 0u);
    EXPECT_EQ(zelmo_serve_main_fds_once(), local_pipe[0]);
    EXPECT_EQ(err.count("Invalid IPC msg type"), 1u);

    // The message service's level request is stored as the debug switch and applied.
    log_opt = 0;
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 7, {}));
    EXPECT_EQ(zelmo_serve_main_fds_once(), csmsg_fd);
    EXPECT_EQ(err.count("changing Log level 7\n"), 1u);
    EXPECT_EQ(log_opt, 7);
    EXPECT_TRUE(debug_lines_written());
    cslibLog_setLevel(ZLOG_INFO);

    // A timer signal interrupting the wait makes it fail once; nothing is lost.
    struct sigaction action {
    }, previous{};
    action.sa_handler = no_op; // no SA_RESTART, like the timer handler
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    pthread_t main_thread = pthread_self();
    std::thread other([main_thread] {
        std::this_thread::sleep_for(100ms);
        pthread_kill(main_thread, SIGUSR1);
        std::this_thread::sleep_for(100ms);
        zelmo_send_to_localfd(LM_SET_CRITICAL_DEVICE, "x", 1);
    });
    EXPECT_EQ(zelmo_serve_main_fds_once(), -1);
    EXPECT_EQ(err.count("Unknown msg retval = -1"), 1u);
    EXPECT_EQ(zelmo_serve_main_fds_once(), local_pipe[0]);
    EXPECT_EQ(err.count("Invalid IPC msg type"), 2u);
    other.join();
    sigaction(SIGUSR1, &previous, nullptr);
}
