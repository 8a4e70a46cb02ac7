// The log library writing to a captured standard error.
#include "fixture/fixture.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

// Level and destination changes are checked through the log-control
// messages by LocalChannel.
TEST(Log, LinesCarryLevelFunctionAndLineAndNeverInterleave)
{
    cslibLog_init(161);
    cslibLog_setDestination(1);
    cslibLog_setLevel(6);
    {
        CaptureFd err(STDERR_FILENO);
        log_log(6, "update_device", 412, "Entered into update_device() function");
        log_log(3, "f", 1, "with newline %d\n", 5);
        cslibLog_setDestination(9); // ignored
        log_log(6, "g", 3, "%s", "");
        EXPECT_EQ(err.text(), "zelmo: <6> update_device:412: Entered into update_device() function\n"
                              "zelmo: <3> f:1: with newline 5\n"
                              "zelmo: <6> g:3: \n");
    }

    // Long lines from several threads never interleave.
    std::string long_text(1500, 'x');
    CaptureFd err(STDERR_FILENO);
    auto run = [&](int id) {
        for (int i = 0; i < 200; ++i)
            log_log(6, "worker", id, "%s", long_text.c_str());
    };
    std::thread a(run, 1), b(run, 2);
    a.join();
    b.join();
    std::string out = err.text();
    EXPECT_EQ(count_of(out, "\n"), 400u);
    EXPECT_EQ(count_of(out, "zelmo: <6> worker:1: " + long_text + "\n") +
                  count_of(out, "zelmo: <6> worker:2: " + long_text + "\n"),
              400u);
}
