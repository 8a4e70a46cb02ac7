// Diagnostic command words and dump printers.
#pragma once

#include "devtable/device_record.h"

#include <cstdint>

// Runs a recognised one-shot command and exits; returns for anything else.
void zelmo_process_dumpcommand(int argc, char **argv);
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
