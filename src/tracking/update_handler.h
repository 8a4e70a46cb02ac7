// Internal to the device update handler: the working storage of one call and
// the helpers that the host path and the fingerprint path share.
#pragma once

#include "devtable/device_record.h"
#include "tracking/tracking.h"

#include <cstddef>

// Working storage of one update_device_handler call, zero at entry.
struct UpdateWork {
    char form[1280];        // the host form, or the description form
    char second_form[1280]; // the host form of the fingerprint path
    char form_name[256];
    FingerprintData fingerprint;
    LanHostEntryObject entry;
};

constexpr char FORM_HOST[] = "Device.Hosts.Host.{i}.";
constexpr char FORM_UPNP[] = "Device.UPnP.Description.{i}.";
constexpr char FORM_MDNS[] = "Device.MDNS.Description.{i}.";
constexpr char FORM_HTTP[] = "Device.FingerPrint.Description.{i}.";

void handle_host_update(DeviceUpdate &update, UpdateWork &work);
void handle_fingerprint_update(DeviceUpdate &update, UpdateWork &work);

// Terminates every text member of an entry in its last byte, so that no
// later read of a received or stored entry runs past its field.
void terminate_entry_texts(LanHostEntryObject &entry);

// Refreshes an entry from the configuration store through a copy (the store
// lookup may read the table's record that the entry belongs to).
void refresh_entry(LanHostEntryObject &entry);

// Case-sensitive equality of two fixed fields, never reading past either.
bool field_equal_exact(const char *a, size_t a_size, const char *b, size_t b_size);

// Stable copies of a record's parts, for update_device calls that pass the
// record's own values back (source and destination must not overlap).
struct RecordCopy {
    char mac[32];
    LanHostEntryObject entry;
    char l3[32];
    char ifstatus[32];
    explicit RecordCopy(const DeviceRecord &r);
};
