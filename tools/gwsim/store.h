// The gateway files the simulator prepares and reads below ZELMO_ROOT: the
// configuration store's object files, the message-service sockets and the
// device database.
#pragma once

#include "payloads.h"
#include "platform/cfgstore.h"

#include <string>
#include <vector>

// "<root>/var/lib/cfgstore/<id>/<depth>.<i1>...<i6>" of the object's header.
std::string cfg_file(const void *object);
// Writes an object file atomically (temporary file and rename).
bool cfg_write(const void *object, size_t size, std::string &err);
// Every LAN host entry (object 273) in the store, in instance order.
std::vector<LanHostEntryObject> cfg_lanhosts();

// Sends one datagram to an application's message-service socket.
bool csmsg_send(const Bytes &datagram, std::string &err, uint32_t app_id = 161);

// Writes a file atomically.
bool write_file_atomic(const std::string &path, const void *data, size_t size, std::string &err);
// Whole file; false when it cannot be read.
bool read_whole_file(const std::string &path, Bytes &out);
