// "gwsim cloud": the local cloud endpoint, a Python helper (standard
// library only) that serves HTTP and HTTPS and stores every report.
#include "commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

int cmd_cloud(int argc, char **argv)
{
    const char *dir = getenv("GWSIM_SCRIPT_DIR");
    std::string script = std::string(dir && dir[0] ? dir : GWSIM_SCRIPT_DIR) + "/gwsim_cloud.py";
    std::vector<char *> args{const_cast<char *>("/usr/bin/python3"), script.data()};
    for (int i = 0; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    fflush(stdout);
    execv(args[0], args.data());
    return fail(1, "cannot run %s: %s", script.c_str(), strerror(errno));
}
