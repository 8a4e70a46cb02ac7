// Crash and termination handling in a child process that installs the
// handlers and then takes a signal: the trace line, the archive command
// (seen by a recording tar first in PATH) and death by the same signal.
#include "fixture/fixture.h"
#include "frame/capture.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Forks a child that installs the handlers, logs to the given file and then
// takes the signal (a real invalid memory access for SIGSEGV). Returns the
// wait status of the child.
int child_takes_signal(int signal_number, const ToolStandIns &tools, const std::string &log_path)
{
    pid_t pid = fork();
    if (pid == 0) {
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        setenv("PATH", (tools.dir() + ":/usr/bin:/bin").c_str(), 1);
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log, STDERR_FILENO);
        cslibLog_setDestination(1);
        cslibLog_setLevel(ZLOG_INFO);
        zelmo_initSigHdlr();
        if (signal_number == SIGSEGV) {
            // A real invalid access: a page without any access rights.
            void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            *static_cast<volatile int *>(page) = 1;
        } else {
            kill(getpid(), signal_number);
        }
        _exit(0); // only reached if the signal did not end the process
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

} // namespace

TEST(CrashHandling, EachHandledSignalLeavesTraceAndArchiveThenKillsWithTheSameSignal)
{
    GatewayRoot root;
    ToolStandIns tools;
    tools.add("tar");
    std::string log_path = root.file("/child.log");
    const std::pair<int, const char *> cases[] = {
        {SIGSEGV, "SIGSEGV"}, {SIGFPE, "SIGFPE"},   {SIGABRT, "SIGABRT"},
        {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"},
    };
    std::vector<std::string> expected_trace;
    for (auto [number, name] : cases) {
        int status = child_takes_signal(number, tools, log_path);
        ASSERT_TRUE(WIFSIGNALED(status)) << name << " status " << status;
        EXPECT_EQ(WTERMSIG(status), number) << name;
        expected_trace.push_back(std::string("zelmo recived ") + name);
        // The archive runs in the background: wait for its record.
        EXPECT_TRUE(wait_until([&] { return tools.calls("tar").size() == expected_trace.size(); }, 5000ms))
            << name;
    }
    // One trace line per signal, appended across the runs.
    EXPECT_EQ(read_lines(root.file("/logs/zelmo_btrace.log")), expected_trace);
    for (const std::string &call : tools.calls("tar"))
        EXPECT_EQ(call, archive_args(root));
    // The same line went to the log.
    std::string log = read_file(log_path);
    for (const std::string &line : expected_trace)
        EXPECT_EQ(count_of(log, line + "\n"), 1u) << line;
}

TEST(CrashHandling, MissingLogDirectoryOnlyLosesTheTraceLineAndOtherSignalsKeepDefaults)
{
    GatewayRoot root;
    ToolStandIns tools;
    tools.add("tar");
    std::string log_path = root.file("/child.log");
    ASSERT_EQ(rmdir(root.file("/logs").c_str()), 0);

    int status = child_takes_signal(SIGTERM, tools, log_path);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(file_exists(root.file("/logs/zelmo_btrace.log")));
    EXPECT_TRUE(wait_until([&] { return tools.calls("tar").size() == 1; }, 5000ms));
    EXPECT_EQ(count_of(read_file(log_path), "zelmo recived SIGTERM\n"), 1u);

    // A signal outside the six is not handled: no trace, no archive.
    ASSERT_EQ(mkdir(root.file("/logs").c_str(), 0755), 0);
    status = child_takes_signal(SIGHUP, tools, log_path);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGHUP);
    std::this_thread::sleep_for(200ms); // an archive would have been recorded by now
    EXPECT_EQ(tools.calls("tar").size(), 1u);
    EXPECT_FALSE(file_exists(root.file("/logs/zelmo_btrace.log")));
}

TEST(CrashHandling, RunningDaemonStoppedOrCrashedDiesByThatSignal)
{
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core); // SIGSEGV and SIGABRT would otherwise dump core
    GatewayRoot root;
    ToolStandIns tools;
    tools.add("tar");
    tools.add("iptables");
    root.write_wifi_mode("EXT");
    root.write_device_info("OUI", "Model", "Serial");
    std::vector<std::string> trace;
    for (auto [number, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"}}) {
        DaemonProcess daemon({"-d", "1"}, {tools.path_env()});
        ASSERT_TRUE(daemon.wait_for_output("ZELMO process started...!!!", 10000ms)) << daemon.stderr_text();
        daemon.kill(number);
        ProcessEnd end = daemon.wait_exit(5000ms);
        ASSERT_TRUE(end.ended) << name;
        EXPECT_EQ(end.signal, number) << name;
        EXPECT_EQ(end.exit_code, -1) << name;
        trace.push_back(std::string("zelmo recived ") + name);
        EXPECT_EQ(daemon.count_output(trace.back() + "\n"), 1u) << daemon.stderr_text();
        EXPECT_TRUE(wait_until([&] { return tools.calls("tar").size() == trace.size(); }, 5000ms)) << name;
    }
    EXPECT_EQ(read_lines(root.file("/logs/zelmo_btrace.log")), trace);
    for (const std::string &call : tools.calls("tar"))
        EXPECT_EQ(call, archive_args(root));

    // SIGHUP keeps its default action: no trace, no archive.
    DaemonProcess daemon({"-d", "1"}, {tools.path_env()});
    ASSERT_TRUE(daemon.wait_for_output("ZELMO process started...!!!", 10000ms));
    daemon.kill(SIGHUP);
    EXPECT_EQ(daemon.wait_exit(5000ms).signal, SIGHUP);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(read_lines(root.file("/logs/zelmo_btrace.log")).size(), trace.size());
    EXPECT_EQ(tools.calls("tar").size(), trace.size());
}
