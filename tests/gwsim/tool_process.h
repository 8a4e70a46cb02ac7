// Running the simulator (and other tools) as child processes of a test.
#pragma once

#include "fixture/fixture.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

// The build directory (where the zelmo binary is).
inline std::string build_dir()
{
    std::string zelmo = DaemonProcess::binary();
    return zelmo.substr(0, zelmo.rfind('/'));
}
// The gwsim binary of this build: <build>/tools/gwsim/gwsim.
inline std::string gwsim_path()
{
    return build_dir() + "/tools/gwsim/gwsim";
}

// The NUL-terminated text at offset, never read past the end.
inline std::string text_at(const Bytes &b, size_t offset)
{
    if (offset >= b.size())
        return "<past end>";
    return std::string(reinterpret_cast<const char *>(b.data() + offset),
                       strnlen(reinterpret_cast<const char *>(b.data() + offset), b.size() - offset));
}

struct ToolResult {
    int status = -1; // exit status; -1 when killed or not run
    std::string out, err;
};

// Runs argv to its end with the environment plus "NAME=value" overrides.
inline ToolResult run_tool(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                           std::chrono::milliseconds timeout = 30s)
{
    ToolResult r;
    r.status = run_program(argv, &r.out, &r.err, timeout, env).exit_code;
    return r;
}
inline ToolResult run_gwsim(std::vector<std::string> args, const std::vector<std::string> &env = {},
                            std::chrono::milliseconds timeout = 30s)
{
    args.insert(args.begin(), gwsim_path());
    return run_tool(args, env, timeout);
}

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
    Bytes receive(std::chrono::milliseconds timeout = 3s);

  private:
    int fd_ = -1;
};
