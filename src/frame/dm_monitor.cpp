// Registration with the gateway's daemon monitor.
#include "frame/frame.h"
#include "platform/root.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Messages of the registration go to standard output, flushed at once.
void say(const char *text)
{
    fputs(text, stdout);
    fflush(stdout);
}

} // namespace

int dm_monitor_register(const char *name, int policy, const char *text, int number, const char *handler)
{
    if (name == nullptr) {
        say("name is NULL!\n");
        return -1;
    }
    if (policy != 0 && policy != 1) {
        say("policy is invalid!\n");
        return -1;
    }
    if (handler == nullptr) {
        say("handler is NULL!\n");
        return -1;
    }
    std::string directory = root_path("/tmp/daemon");
    struct stat st {
    };
    if (stat(directory.c_str(), &st) != 0) {
        mkdir(directory.c_str(), 0777);
    }
    // The monitor reads the file whole: recreate it rather than append.
    std::string path = directory + "/" + name + ".dm";
    unlink(path.c_str());
    FilePtr file(fopen(path.c_str(), "w"));
    if (!file) {
        say("fopen failed!");
        return -1;
    }
    fprintf(file.get(), "%s\n%d\n%s\n%d\n%s\n%d\n", name, policy, text ? text : "null", number, handler,
            int(getpid()));
    return 0;
}
