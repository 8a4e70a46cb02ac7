// The daemon's counters for `zelmo status`: uploads counted where the
// transport learns their result (any thread, relaxed atomics and one short
// lock after the transfer), and the status snapshot that the main thread
// publishes after each event it handled and the bus thread answers from.
#pragma once

#include <cstdint>
#include <string>

// One upload's result: the form name and, for a failed transfer, libcurl's
// error text (null when the transfer completed). Health check probes are not
// uploads and are not counted.
void counters_upload(const char *form, const char *error);

// Main thread: copies what the status shows from the table, the timers, the
// session and the save counters into the snapshot.
void status_publish();

// Any thread: the status as one JSON object (the snapshot, the upload and
// signal counters, the database file's size now). Never throws; empty when
// out of memory.
std::string status_json();
