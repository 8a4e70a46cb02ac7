// "cmake --install" into a temporary DESTDIR, and reading the installed
// systemd unit.
#pragma once

#include "fixture/fixture.h"
#include "gwsim/tool_process.h"

#include <memory>
#include <sstream>

struct StagedInstall {
    TempDir dest{"zelmo-install"};
    ToolResult result;
    // The staged copy of a path on the target ("/usr/sbin/zelmo").
    std::string path(const std::string &target) const { return dest.path() + target; }
};

// Installs the build tree (default: this build) with the prefix given at
// install time (none: the one it was configured with).
inline std::unique_ptr<StagedInstall> stage_install(const std::string &prefix, const std::string &tree = "")
{
    auto s = std::make_unique<StagedInstall>();
    std::vector<std::string> argv = {"cmake", "--install", tree.empty() ? build_dir() : tree};
    if (!prefix.empty())
        argv.insert(argv.end(), {"--prefix", prefix});
    s->result = run_tool(argv, {"DESTDIR=" + s->dest.path()}, 120s);
    return s;
}

// The values of every "key=value" line of a unit file, in order.
inline std::vector<std::string> unit_values(const std::string &unit, const std::string &key)
{
    std::vector<std::string> values;
    std::istringstream in(unit);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            values.push_back(line.substr(key.size() + 1));
    return values;
}

// The words of a text separated by blanks.
inline std::vector<std::string> words_of(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}
