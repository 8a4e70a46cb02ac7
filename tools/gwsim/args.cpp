#include "args.h"

#include <cerrno>
#include <cstdlib>

bool parse_u32(const std::string &text, uint32_t &out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v > UINT32_MAX)
        return false;
    out = uint32_t(v);
    return true;
}

bool Args::parse(int argc, char **argv, int first, std::initializer_list<const char *> flags)
{
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            positional_.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::string value;
        size_t eq = name.find('=');
        bool is_flag = false;
        for (const char *f : flags)
            is_flag = is_flag || name == f;
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (!is_flag) {
            if (i + 1 >= argc) {
                error_ = "option --" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        values_.emplace(name, value);
    }
    return true;
}

std::string Args::get(const std::string &name, const std::string &fallback) const
{
    auto range = values_.equal_range(name);
    if (range.first == range.second)
        return fallback;
    auto last = range.second;
    --last;
    return last->second;
}

std::vector<std::string> Args::all(const std::string &name) const
{
    std::vector<std::string> out;
    auto range = values_.equal_range(name);
    for (auto it = range.first; it != range.second; ++it)
        out.push_back(it->second);
    return out;
}

bool Args::get_u32(const std::string &name, uint32_t fallback, uint32_t &out)
{
    if (!has(name)) {
        out = fallback;
        return true;
    }
    if (!parse_u32(get(name), out)) {
        error_ = "option --" + name + ": not a number: " + get(name);
        return false;
    }
    return true;
}

bool Args::only(std::initializer_list<const char *> known)
{
    for (const auto &[name, value] : values_) {
        bool ok = false;
        for (const char *k : known)
            ok = ok || name == k;
        if (!ok) {
            error_ = "unknown option --" + name;
            return false;
        }
    }
    return true;
}
