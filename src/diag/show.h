// `zelmo show` and the daemon's GetDevices: the stored device table as
// aligned rows or as JSON, read from the database file without changing it.
#pragma once

#include "devtable/device_record.h"

#include <string>
#include <vector>

// Reads the database file at path read-only into records. A file that does
// not exist is an empty table. 0 on success; -1 with the reason in *error
// ("cannot read <path>: <OS reason>", "<path>: no valid database header").
int diag_load_records(const std::string &path, std::vector<DeviceRecord> *records, std::string *error);

// The records as a JSON array of objects, one member per named field of the
// record. Valid UTF-8 JSON whatever the fields hold; empty when out of memory.
std::string devices_json(const std::vector<DeviceRecord> &records);

// The daemon's own database file as devices_json; "[]" when it cannot be read.
std::string stored_devices_json();

// The command word: `show [MAC] [--json]`; the exit status.
int zelmo_show(const char *mac, bool json);
