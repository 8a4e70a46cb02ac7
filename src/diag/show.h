// `zelmo show` and the daemon's GetDevices: the stored device table as
// aligned rows or as JSON, read from the database file as every reader reads
// it (db_read_records): read-only, under the shared lock, journal applied.
#pragma once

#include "devtable/device_record.h"

#include <string>
#include <vector>

// The records as a JSON array of objects, one member per named field of the
// record. Valid UTF-8 JSON whatever the fields hold; empty when out of memory.
std::string devices_json(const std::vector<DeviceRecord> &records);

// The daemon's own database file as devices_json; "[]" when it cannot be read.
std::string stored_devices_json();

// The command word: `show [MAC] [--json]`; the exit status.
int zelmo_show(const char *mac, bool json);
