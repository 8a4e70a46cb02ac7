// The main loop's wake-ups, in process: a real message-service socket, the
// real timer socket pair and the real local pipe.
#include "fixture/fixture.h"
#include "frame/capture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace
{

constexpr uint32_t kUnknownCsMsgType = 0x10002700;

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Root-mode channel and message service below a temporary root; closed again afterwards.
class MainLoopFixture : public ::testing::Test
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
        for (int *fds : {local_pipe, signal_pipe})
            for (int i = 0; i < 2; ++i) {
                if (fds[i] >= 0)
                    close(fds[i]);
                fds[i] = -1;
            }
        csMsg_close(msgHandle);
        msgHandle = nullptr;
        csmsg_fd = -1;
    }
    GatewayRoot root_;
};

void no_op(int)
{
}

} // namespace

TEST_F(MainLoopFixture, OneDescriptorPerWakeUpMessageServiceThenTimerThenLocal)
{
    CaptureFd err(STDERR_FILENO);
    ASSERT_TRUE(send_csmsg(kUnknownCsMsgType, 0, {}));
    uint32_t timer = 4242;
    ASSERT_EQ(write(signal_pipe[1], &timer, sizeof timer), 4);
    ASSERT_EQ(zelmo_send_to_localfd(LM_SET_CRITICAL_DEVICE, "x", 1), 0);

    EXPECT_EQ(zelmo_serve_main_fds_once(), csmsg_fd);
    EXPECT_EQ(count_of(err.text(), "unsupported msg to Zelmo\n"), 1u);
    EXPECT_TRUE(readable(signal_pipe[0]));
    EXPECT_TRUE(readable(local_pipe[0]));

    EXPECT_EQ(zelmo_serve_main_fds_once(), signal_pipe[0]);
    EXPECT_FALSE(readable(signal_pipe[0])); // the whole 4-byte handle was taken
    EXPECT_TRUE(readable(local_pipe[0]));
    EXPECT_EQ(count_of(err.text(), "Invalid IPC msg type"), 0u);

    EXPECT_EQ(zelmo_serve_main_fds_once(), local_pipe[0]);
    EXPECT_EQ(count_of(err.text(), "[zelmo] Invalid IPC msg type\n"), 1u);
    EXPECT_FALSE(readable(local_pipe[0]));
    EXPECT_FALSE(readable(csmsg_fd));

    // A busy message service delays the others but loses nothing.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(send_csmsg(kUnknownCsMsgType, 0, {}));
    ASSERT_EQ(zelmo_send_to_localfd(LM_SET_CRITICAL_DEVICE, "x", 1), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(zelmo_serve_main_fds_once(), csmsg_fd);
    EXPECT_EQ(zelmo_serve_main_fds_once(), local_pipe[0]);
    EXPECT_EQ(count_of(err.text(), "unsupported msg to Zelmo\n"), 4u);
    EXPECT_EQ(count_of(err.text(), "Invalid IPC msg type"), 2u);
}

TEST_F(MainLoopFixture, LogLevelRequestIsStoredAndApplied)
{
    CaptureFd err(STDERR_FILENO);
    log_opt = 0;
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 7, {}));
    EXPECT_EQ(zelmo_serve_main_fds_once(), csmsg_fd);
    EXPECT_EQ(count_of(err.text(), "changing Log level 7\n"), 1u);
    EXPECT_EQ(log_opt, 7);
    log_log(ZLOG_DEBUG, "probe", 1, "debug line now written\n");
    EXPECT_EQ(count_of(err.text(), "debug line now written"), 1u);
    ASSERT_TRUE(send_csmsg(CSMSG_TYPE_SET_LOG_LEVEL, 6, {}));
    EXPECT_EQ(zelmo_serve_main_fds_once(), csmsg_fd);
    EXPECT_EQ(log_opt, 6);
    log_log(ZLOG_DEBUG, "probe", 1, "debug line now dropped\n");
    EXPECT_EQ(count_of(err.text(), "debug line now dropped"), 0u);
}

TEST_F(MainLoopFixture, InterruptedWaitIsRetriedWithoutLosingTheMessage)
{
    struct sigaction action {
    }, previous{};
    action.sa_handler = no_op; // no SA_RESTART, like the timer handler
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    CaptureFd err(STDERR_FILENO);

    pthread_t main_thread = pthread_self();
    std::thread other([main_thread] {
        std::this_thread::sleep_for(100ms);
        pthread_kill(main_thread, SIGUSR1);
        std::this_thread::sleep_for(100ms);
        zelmo_send_to_localfd(LM_SET_CRITICAL_DEVICE, "x", 1);
    });
    EXPECT_EQ(zelmo_serve_main_fds_once(), -1);
    EXPECT_EQ(count_of(err.text(), "Unknown msg retval = -1"), 1u);
    EXPECT_EQ(zelmo_serve_main_fds_once(), local_pipe[0]);
    EXPECT_EQ(count_of(err.text(), "Invalid IPC msg type"), 1u);
    other.join();
    sigaction(SIGUSR1, &previous, nullptr);
}
