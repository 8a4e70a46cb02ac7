#include "fixture/fixture.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace
{

// Runs body with standard error sent to a file; returns what was written.
std::string capture_stderr(const std::function<void()> &body)
{
    char path[] = "/tmp/zelmo-logtest-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_APPEND);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);
    std::string text = read_file(path);
    unlink(path);
    return text;
}

} // namespace

TEST(Log, LinesCarryLevelFunctionAndLine)
{
    cslibLog_init(161);
    cslibLog_setDestination(1);
    cslibLog_setLevel(6);
    std::string out = capture_stderr([] {
        log_log(6, "update_device", 412, "Entered into update_device() function");
        log_log(3, "f", 1, "with newline %d\n", 5);
        log_log(7, "f", 2, "debug is above level 6");
        cslibLog_setDestination(9); // ignored
        log_log(6, "g", 3, "%s", "");
    });
    EXPECT_EQ(out, "zelmo: <6> update_device:412: Entered into update_device() function\n"
                   "zelmo: <3> f:1: with newline 5\n"
                   "zelmo: <6> g:3: \n");

    cslibLog_setLevel(7);
    out = capture_stderr([] { ZLOG(ZLOG_DEBUG, "now %s", "shown"); });
    EXPECT_NE(out.find("zelmo: <7> "), std::string::npos);
    EXPECT_NE(out.find(": now shown\n"), std::string::npos);

    // Destination syslog writes nothing to standard error.
    cslibLog_setDestination(2);
    out = capture_stderr([] { log_log(3, "f", 1, "to syslog"); });
    EXPECT_EQ(out, "");
    cslibLog_setDestination(1);
    cslibLog_setLevel(6);
}

TEST(Log, LinesFromSeveralThreadsNeverInterleave)
{
    cslibLog_setDestination(1);
    cslibLog_setLevel(6);
    std::string long_text(1500, 'x');
    std::string out = capture_stderr([&] {
        auto run = [&](int id) {
            for (int i = 0; i < 200; ++i)
                log_log(6, "worker", id, "%s", long_text.c_str());
        };
        std::thread a(run, 1), b(run, 2);
        a.join();
        b.join();
    });
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(out.substr(start, nl - start));
    ASSERT_EQ(lines.size(), 400u);
    for (const std::string &l : lines)
        EXPECT_TRUE(l == "zelmo: <6> worker:1: " + long_text || l == "zelmo: <6> worker:2: " + long_text);
}
