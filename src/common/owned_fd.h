// An owned file descriptor, for the daemon and the platform layer alike.
#pragma once

#include <unistd.h>

// Closes its descriptor when it goes away; a negative one is no descriptor.
struct OwnedFd {
    int fd = -1;
    explicit OwnedFd(int f) : fd(f) {}
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    ~OwnedFd()
    {
        if (fd >= 0)
            close(fd);
    }
};
