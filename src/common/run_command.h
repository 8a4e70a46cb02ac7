// Running an external program without a shell: an argument vector handed to
// posix_spawnp (the program is found through PATH), the child's standard
// output and error set up as asked, and the child waited for.
//
// Outside text may travel in argv safely: no shell ever parses it.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// What a child's standard output or error is connected to.
enum class ChildStream {
    inherit, // the daemon's own descriptor
    discard, // /dev/null (the "2> /dev/null" of a command line)
    capture, // a pipe read by the caller (standard output only)
};

struct RunOptions {
    ChildStream out = ChildStream::inherit;
    ChildStream err = ChildStream::inherit;
    std::string *captured = nullptr;  // with out == capture: receives the output
    size_t capture_limit = 64 * 1024; // bytes kept; the rest is read and dropped
};

// Runs argv[0] with argv (null-terminated) and waits for it. Returns the exit
// status (0-255), 128 + the signal number when a signal ended the child, or
// -1 when it could not be started (or not waited for).
int run_command(const char *const argv[], const RunOptions &options = {});

// Starts argv[0] without waiting (capture is not available); the child's pid,
// or -1 when it could not be started. The caller reaps it.
pid_t start_command(const char *const argv[], const RunOptions &options = {});
