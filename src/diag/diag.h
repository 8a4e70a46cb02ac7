// Diagnostic command words and dump printers.
#pragma once

#include "devtable/device_record.h"

#include <cstdint>

// A first argument that does not start with '-' is a command word: a known
// word with its arguments runs and exits with its status; an unknown word or
// wrong arguments print the usage on standard error and exit with 2. Returns
// only for options, which start the daemon.
void zelmo_process_dumpcommand(int argc, char **argv);

// The daemon's status on the bus: GetStatus and GetDevices, each returning
// one JSON text, on this interface of the daemon's object.
inline constexpr char ZELMO_STATUS_NAME[] = "arvex.kvx.zelmo";
inline constexpr char ZELMO_STATUS_PATH[] = "/arvex/kvx/zelmo";
inline constexpr char ZELMO_STATUS_INTERFACE[] = "arvex.kvx.zelmo.Status";

// `zelmo status [--json]`: the exit status (3: no daemon answers).
int zelmo_status_command(bool json);
void zelmo_dumpall();
void print_device_data();
int zelmo_dump_by_mac(const char *mac);
void zelmo_dump_by_index(int index);
void zelmo_print_type_by_index(int index);
int32_t isGetCriticalDevice(const char *mac);
void PrintGetAllCriticalDevice();

// The fingerprint data formats, written to standard error; -1 without data.
int print_upnp(const UPnPData *data);
int print_mdns(const MDNSData *data);
int print_http(const DeviceRecord *record); // the record's Option55 with its HTTP description
