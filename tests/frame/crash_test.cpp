// Crash and termination handling of the running daemon: the trace line, the
// archive command seen by a recording tar first in PATH, and death by the
// same signal.
#include "fixture/fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace
{

// The archive command line as the tar stand-in records it ("$*").
std::string archive_args(const GatewayRoot &root)
{
    std::string args = "-czf " + root.file("/logs/crash_logs.tar.gz");
    for (const char *input : {"/logs/messages", "/logs/messages.0", "/logs/messages.1", "/tmp/messages_info",
                              "/tmp/messages_info.0", "/tmp/messages_info.1"})
        args += " " + root.file(input);
    return args;
}

} // namespace

TEST(CrashHandling, EachHandledSignalLeavesTraceAndArchiveThenKillsWithTheSameSignal)
{
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core); // no core files from SIGSEGV, SIGABRT and the like
    GatewayRoot root;
    ToolStandIns tools;
    tools.add("tar");
    root.write_wifi_mode("EXT"); // extender mode: quick to start, no packet filter
    root.write_device_info("OUI", "Model", "Serial");

    // A trace file that cannot be opened only loses its line.
    ASSERT_EQ(rmdir(root.file("/logs").c_str()), 0);
    std::vector<std::string> trace;
    const std::pair<int, const char *> cases[] = {
        {SIGTERM, "SIGTERM"}, {SIGSEGV, "SIGSEGV"}, {SIGFPE, "SIGFPE"},  {SIGABRT, "SIGABRT"},
        {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"}};
    for (auto [number, name] : cases) {
        DaemonProcess daemon({"-d", "1"}, {tools.path_env()});
        ASSERT_TRUE(daemon.wait_for_output("ZELMO process started...!!!", 10000ms)) << daemon.stderr_text();
        daemon.kill(number);
        ProcessEnd end = daemon.wait_exit(5000ms);
        EXPECT_EQ(end.signal, number) << name << " exit " << end.exit_code;
        std::string line = std::string("zelmo recived ") + name;
        EXPECT_EQ(daemon.count_output(line + "\n"), 1u) << name;
        if (file_exists(root.file("/logs")))
            trace.push_back(line);
        else
            mkdir(root.file("/logs").c_str(), 0755);
        EXPECT_TRUE(wait_until([&] { return tools.calls("tar").size() == trace.size() + 1; }, 5000ms))
            << name;
    }
    EXPECT_EQ(read_lines(root.file("/logs/zelmo_btrace.log")), trace);
    for (const std::string &call : tools.calls("tar"))
        EXPECT_EQ(call, archive_args(root));

    // Other signals keep their default action: no trace, no archive.
    DaemonProcess daemon({"-d", "1"}, {tools.path_env()});
    ASSERT_TRUE(daemon.wait_for_output("ZELMO process started...!!!", 10000ms));
    daemon.kill(SIGHUP);
    EXPECT_EQ(daemon.wait_exit(5000ms).signal, SIGHUP);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(read_lines(root.file("/logs/zelmo_btrace.log")).size(), trace.size());
    EXPECT_EQ(tools.calls("tar").size(), trace.size() + 1);
}
