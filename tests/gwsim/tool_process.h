// Running the simulator (and other tools) as child processes of a test.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

using namespace std::chrono_literals;

// The gwsim binary of this build: <build>/tools/gwsim/gwsim.
std::string gwsim_path();
// The build directory (where the zelmo binary is).
std::string build_dir();

// A temporary directory, removed with its contents on destruction.
class TempDir
{
  public:
    explicit TempDir(const char *prefix = "gwsim-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

struct ToolResult {
    int status = -1; // exit status; -1 when killed or not run
    std::string out, err;
};

// Runs argv to its end with the environment plus "NAME=value" overrides.
ToolResult run_tool(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                    std::chrono::milliseconds timeout = 30s);
inline ToolResult run_gwsim(std::vector<std::string> args, const std::vector<std::string> &env = {},
                            std::chrono::milliseconds timeout = 30s)
{
    args.insert(args.begin(), gwsim_path());
    return run_tool(args, env, timeout);
}

// A long-running child (a simulator service); SIGTERM, then SIGKILL, and
// reaped on destruction. Its standard output and error go to one file.
class BackgroundTool
{
  public:
    BackgroundTool(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    ~BackgroundTool();
    BackgroundTool(const BackgroundTool &) = delete;
    BackgroundTool &operator=(const BackgroundTool &) = delete;

    pid_t pid() const { return pid_; }
    // False once the process has ended (it is then reaped).
    bool running();
    std::string output() const;
    bool wait_output(const std::string &text, std::chrono::milliseconds timeout) const;
    // SIGTERM and wait; the exit status, or -1 when it had to be killed.
    int stop();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_;
    static int decode(int status);
};

// The daemon's message-service socket ($ZELMO_ROOT/var/run/csmsg/161.sock),
// bound by the test to see what a simulator sends to the daemon.
class MessageSocket
{
  public:
    MessageSocket();
    ~MessageSocket();
    MessageSocket(const MessageSocket &) = delete;
    MessageSocket &operator=(const MessageSocket &) = delete;
    // One datagram, or nothing after the time-out.
    std::vector<unsigned char> receive(std::chrono::milliseconds timeout = 3s);

  private:
    int fd_ = -1;
};

// Polls until pred holds or the time-out passes.
template <typename Pred> bool eventually(Pred pred, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        struct timespec ts {
            0, 20 * 1000 * 1000
        };
        nanosleep(&ts, nullptr);
    }
}
