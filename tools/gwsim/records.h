// Readable one-line forms of device records, for the database viewer and
// the LAN host daemon stand-in.
#pragma once

#include "payloads.h"

#include <string>

// Text of a fixed field, never read past the field.
template <size_t N> std::string field_text(const char (&field)[N])
{
    return std::string(field, field_len(field, N));
}

// "mac Status host=<HostState> desc=<DeviceState> type=<Type> ... data=<description>"
std::string record_line(const DeviceRecord &r);

// A device notification (u32 count, then records) as one line of record
// forms separated by " | "; "malformed" notes when the length is too short.
std::string notification_text(const uint8_t *data, size_t size);

// The database file as lines: a header line, then one record_line per
// record; false with a reason in err for a file that is not a database.
bool database_lines(const Bytes &image, std::vector<std::string> &lines, std::string &err);
