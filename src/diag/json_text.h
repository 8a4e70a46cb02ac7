// JSON helpers of the diagnostics: texts taken from fixed record fields, and
// the one way JSON text is written, which never fails on the bytes a LAN
// device put into a field.
#pragma once

#include "common/bytes.h"

#include <nlohmann/json.hpp>
#include <string>

using Json = nlohmann::ordered_json; // members in the order they are added

// The text of a fixed field up to its first NUL, never past the field. Its
// bytes go into the JSON as they are; json_dump replaces what is not UTF-8.
template <size_t N> std::string json_text(const char (&field)[N])
{
    return std::string(field, field_len(field, N));
}
inline std::string json_text(const std::string &text)
{
    return text;
}

// Compact JSON text. Control characters come out escaped; every byte that is
// not part of valid UTF-8 comes out as U+FFFD, so the text is always valid
// UTF-8 and valid JSON.
inline std::string json_dump(const Json &value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}
