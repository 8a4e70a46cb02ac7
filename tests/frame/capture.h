// Captures what the process writes to a descriptor (standard output or
// standard error) into a temporary file while in scope.
#pragma once

#include "fixture/fixture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

class CaptureFd
{
  public:
    explicit CaptureFd(int fd) : fd_(fd), saved_(dup(fd))
    {
        char name[] = "/tmp/zelmo-capture-XXXXXX";
        int file = mkstemp(name);
        path_ = name;
        fflush(nullptr);
        dup2(file, fd_);
        close(file);
    }
    ~CaptureFd()
    {
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        unlink(path_.c_str());
    }
    CaptureFd(const CaptureFd &) = delete;
    CaptureFd &operator=(const CaptureFd &) = delete;

    std::string text() const
    {
        fflush(nullptr);
        return read_file(path_);
    }
    size_t count(const std::string &what) const
    {
        std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(what); at != std::string::npos; at = all.find(what, at + what.size()))
            ++n;
        return n;
    }

  private:
    int fd_;
    int saved_;
    std::string path_;
};
