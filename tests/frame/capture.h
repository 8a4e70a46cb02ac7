// Captures what the process writes to one of its descriptors (standard
// output or standard error) into a temporary file while in scope.
#pragma once

#include "fixture/fixture.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

class CaptureFd
{
  public:
    explicit CaptureFd(int fd) : fd_(fd)
    {
        char name[] = "/tmp/zelmo-capture-XXXXXX";
        int file = mkstemp(name);
        path_ = name;
        fflush(nullptr);
        saved_ = dup(fd_);
        dup2(file, fd_);
        close(file);
    }
    ~CaptureFd()
    {
        restore();
        unlink(path_.c_str());
    }
    CaptureFd(const CaptureFd &) = delete;
    CaptureFd &operator=(const CaptureFd &) = delete;

    // Everything written so far.
    std::string text() const
    {
        fflush(nullptr);
        return read_file(path_);
    }
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }

  private:
    int fd_;
    int saved_ = -1;
    std::string path_;
};

inline size_t count_of(const std::string &text, const std::string &what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}
