// Pieces shared by the bus wrapper's files: the process's connection, its
// signal tables, the method service and the check of who sent a message.
#pragma once

#include "platform/ombus.h"

#include "platform/dbus_raii.h"

#include <cstdint>

// The process's connection, made on first use; null when the bus cannot be
// reached.
DBusConnection *ombus_connection();

// Closes the connection and forgets every registration made on it.
void ombus_drop_connection();

// Delivers signals to the handed-over tables; installed on every connection.
DBusHandlerResult ombus_signal_filter(DBusConnection *connection, DBusMessage *message, void *data);

// Forgets every handed-over table.
void ombus_forget_signal_tables();

// Serves one method call to a service object: data is the OmbusService.
// Without a connection the answer is built but not sent.
DBusHandlerResult ombus_service_message(DBusConnection *connection, DBusMessage *message, void *data);

// True when the message's sender may drive the daemon: its connection's
// Unix uid is 0 or the daemon's own. Otherwise the message is to be dropped;
// the first one of each sender has been logged. Asks the bus on the
// connection the first time a sender is seen.
bool ombus_sender_trusted(DBusConnection *connection, DBusMessage *message);

// Forgets the sender that a NameOwnerChanged signal of the bus says has left.
void ombus_sender_left(DBusMessage *message);

// Forgets every sender (the connection ended).
void ombus_forget_senders();

// The match rule of the bus's word that a connection left.
constexpr char OMBUS_SENDER_LEFT_RULE[] =
    "type='signal',sender='org.freedesktop.DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''";

// How a sender's uid is found: true with *uid set, false when it cannot be
// told. The default asks the bus; a fuzz target without a bus sets its own
// (null restores the default).
using OmbusUidLookup = bool (*)(DBusConnection *connection, const char *name, uint32_t *uid);
void ombus_set_uid_lookup(OmbusUidLookup lookup);
