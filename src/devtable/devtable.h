// Device table: the 256 records in memory, the database file and table operations.
#pragma once

#include "devtable/device_record.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern DeviceRecord *_g_devices; // MAX_DEVICES records, used entries packed at the front
extern int32_t _g_device_count;

// Database file accounting: bytes written by update_db, and saves skipped
// because the file already held exactly the bytes to be written.
extern uint64_t _g_db_bytes_written;
extern uint64_t _g_db_saves_skipped;
extern uint64_t _g_db_saves_made; // saves that replaced the file

// Allocates and zeroes the table; 0 on success.
int devtable_alloc();

// Database file.
int Init();
int file_CopyToStruct(FILE *file);
int update_db();
FILE *file_open(const char *path, const char *mode);
void file_close(FILE *file);
// Loads the database at path into the table for a reader: never creates,
// writes, renames or deletes a file, and waits on a shared lock for a save
// in progress. A missing file gives the empty table when missing_is_empty.
// A file that cannot be read or holds no valid header gives one line on
// standard error naming path and reason, and -1; otherwise 0.
int db_load_readonly(const char *path, bool missing_is_empty);
// The same load into records, for a reader that must not touch the table
// in memory (the bus thread): 0, or -1 with the line's text, without the
// "zelmo: " prefix, in *why.
int db_read_records(const char *path, bool missing_is_empty, std::vector<DeviceRecord> *records,
                    std::string *why);

// Table operations.
// Index of the first used entry whose MACAddress equals mac in any letter
// case, or -1 (also for an empty mac). Logs nothing.
int find_device(const char *mac);
uint32_t is_newdevice(const char *mac, int *index_out);
int update_device(const char *mac, int32_t deviceState, int32_t status, int32_t fingerprintType,
                  int32_t hostState, int32_t setStates, const LanHostEntryObject *lanHostEntry,
                  const FingerprintData *fingerprintData, const char *l3Status, const char *interfaceStatus);
int get_oldest_removed_device();
int remove_old_device_by_index(int index);
void clear_all_timers();
int getLanHostEntryObject(LanHostEntryObject *entry);
// Enters a device first seen by a signal: its LAN host entry from the
// configuration store, new and unreported, active, with the given interface
// status (may be null). Returns its table index, or -1 when it is not in the
// table afterwards.
int enter_new_device(const char *mac, const char *interfaceStatus);

// Saves of one event. A table operation calls table_changed after it changed
// the table: outside an event that saves at once (update_db's result), inside
// one (after table_hold_saves) it only marks the table changed, and
// table_save_held, at the event's end, saves it once. A failed save stays
// marked, so the next event's end saves again.
int table_changed();
void table_hold_saves();
bool table_has_unsaved_change();
int table_save_held();
