// Pieces shared by the bus wrapper's files: the process's connection and
// its signal tables.
#pragma once

#include "platform/ombus.h"

#include "platform/dbus_raii.h"

// The process's connection, made on first use; null when the bus cannot be
// reached.
DBusConnection *ombus_connection();

// Closes the connection and forgets every registration made on it.
void ombus_drop_connection();

// Delivers signals to the handed-over tables; installed on every connection.
DBusHandlerResult ombus_signal_filter(DBusConnection *connection, DBusMessage *message, void *data);

// Forgets every handed-over table.
void ombus_forget_signal_tables();
