// Running programs without a shell: arguments arrive literally, output is
// captured or discarded as asked, statuses come back.
#include "common/run_command.h"

#include "fixture/fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

TEST(RunCommand, ArgumentsOutputsAndStatuses)
{
    std::string out;
    RunOptions capture;
    capture.out = ChildStream::capture;
    capture.captured = &out;

    // Shell syntax in an argument is just text.
    const char *literal[] = {"printf", "%s|", "$(id)", "a b;c", "`x`", nullptr};
    EXPECT_EQ(run_command(literal, capture), 0);
    EXPECT_EQ(out, "$(id)|a b;c|`x`|");

    const char *status[] = {"sh", "-c", "echo to-out; echo to-err >&2; exit 7", nullptr};
    RunOptions quiet = capture;
    quiet.err = ChildStream::discard;
    EXPECT_EQ(run_command(status, quiet), 7);
    EXPECT_EQ(out, "to-out\n");

    const char *killed[] = {"sh", "-c", "kill -TERM $$", nullptr};
    EXPECT_EQ(run_command(killed), 128 + 15);

    const char *missing[] = {"zelmo-no-such-program-here", nullptr};
    EXPECT_EQ(run_command(missing), -1);
    const char *none[] = {nullptr};
    EXPECT_EQ(run_command(none), -1);

    // Large output is read to the end (the child never blocks) and cut at the limit.
    const char *big[] = {"head", "-c", "300000", "/dev/zero", nullptr};
    capture.capture_limit = 1000;
    EXPECT_EQ(run_command(big, capture), 0);
    EXPECT_EQ(out.size(), 1000u);

    // The child sees none of the caller's descriptors beyond 0, 1 and 2.
    int high = fcntl(STDIN_FILENO, F_DUPFD, 200);
    ASSERT_GE(high, 200);
    const char *fds[] = {"sh", "-c", "ls /proc/self/fd", nullptr};
    capture.capture_limit = 4096;
    EXPECT_EQ(run_command(fds, capture), 0);
    close(high);
    EXPECT_NE(out.find("2\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(std::to_string(high) + "\n"), std::string::npos) << out;

    // Started without waiting: the caller reaps it.
    const char *bg[] = {"sh", "-c", "exit 3", nullptr};
    pid_t pid = start_command(bg);
    ASSERT_GT(pid, 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(WEXITSTATUS(st), 3);
    EXPECT_EQ(start_command(bg, capture), -1);
}
