#include "platform/root.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

std::string root_path(const char *absolute_path)
{
    const char *root = getenv("ZELMO_ROOT");
    std::string path = absolute_path ? absolute_path : "";
    if (root == nullptr || root[0] == '\0')
        return path;
    std::string prefix = root;
    while (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    if (!path.empty() && path[0] != '/')
        prefix += '/';
    return prefix + path;
}

int make_dirs(const std::string &path, unsigned mode)
{
    if (path.empty())
        return -1;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return -1;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}
