// Shared set-up of the fuzz targets.
//
// Every target runs the daemon's own main-thread code in a test
// configuration: a private gateway root below $TMPDIR (default /dev/shm), the
// database file in it, the local message pipe and the timer socket pair of a
// root-mode gateway, no bus (DBUS_SYSTEM_BUS_ADDRESS names a socket that does
// not exist, so LAN host notifications fail at once), no iptables (PATH is an
// empty directory, so every capture command fails to start), and a cloud
// profile that points at a 127.0.0.1 port which is bound but never listens,
// so every upload is refused at once. Nothing leaves the machine.
//
// Before each input the table is reset to the same handful of records (an
// Ethernet host, Wi-Fi hosts, a host behind a satellite, a host entered by a
// Wi-Fi association, a removed one), the cloud session is closed and the
// cloud marked reachable, so every input starts from the same state and a
// crash reproduces from its input alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// MAC addresses of the baseline records: fuzz_mac(1) .. fuzz_mac(FUZZ_BASELINE_COUNT).
constexpr int FUZZ_BASELINE_COUNT = 5;
std::string fuzz_mac(unsigned n);

// Once per process (called from LLVMFuzzerInitialize of every target).
void fuzz_init();
// Before every input.
void fuzz_reset_state();
// Writes the configuration store objects of the set-up again and reads the
// identity and mode back (for targets that change them).
void fuzz_restore_store();
// Hands one payload to the main thread the way the bus thread does: a copy
// of exactly size + 1 bytes through the local pipe, then one read and
// dispatch of the main thread. False when the message did not go through.
bool fuzz_deliver_local(uint32_t type, const uint8_t *data, size_t size);

// Invariants of the table and the database file after an input; aborts with
// a message naming the broken one and where it was seen.
void fuzz_check_table(const char *where);
// Aborts with the message (the fuzzer reports it as a crash with the input).
[[noreturn]] void fuzz_fail(const char *where, const char *what);

// Paths of the private root.
const std::string &fuzz_root();
std::string fuzz_cfg_path(uint32_t objectId, const char *instance);
void fuzz_write_file(const std::string &path, const void *data, size_t size);
