// Command-line options of the gwsim sub-commands: "--name value" pairs,
// "--flag" switches and positional words.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

class Args
{
  public:
    // Parses argv[first..argc); names in `flags` take no value. False (with
    // the reason in error()) for an option without its value.
    bool parse(int argc, char **argv, int first, std::initializer_list<const char *> flags = {});

    const std::vector<std::string> &positional() const { return positional_; }
    bool has(const std::string &name) const { return values_.count(name) != 0; }
    // The last value given for the option, or the fallback.
    std::string get(const std::string &name, const std::string &fallback = "") const;
    std::vector<std::string> all(const std::string &name) const;
    // Decimal (or 0x hexadecimal) number; false with error() set when the
    // value is not a number that fits.
    bool get_u32(const std::string &name, uint32_t fallback, uint32_t &out);
    // False with error() set when an option outside `known` was given.
    bool only(std::initializer_list<const char *> known);
    const std::string &error() const { return error_; }

  private:
    std::vector<std::string> positional_;
    std::multimap<std::string, std::string> values_;
    std::string error_;
};

// Parses a decimal or 0x-prefixed hexadecimal unsigned number, whole text.
bool parse_u32(const std::string &text, uint32_t &out);
