// Gateway bus wrapper: one bus connection per process, a method service
// under a well-known name, and tables of subscribed signals, all served by a
// main loop on the thread that calls ombusMainLoop.
//
// Trust: a method call to a service object, or a signal that matches a
// table entry (broadcast or addressed to this connection), reaches its
// dispatch or handler only when the sender's connection belongs to Unix uid
// 0 or to this process's own uid, as the bus tells. Any other is dropped, the
// first one of each sender with a log line; a dropped method call is
// answered with org.freedesktop.DBus.Error.AccessDenied.
#pragma once

#include <cstdint>

// Statuses of the wrapper's calls.
constexpr int OMBUS_OK = 0;
constexpr int OMBUS_ERR_NO_BUS = 1;   // no connection to the bus
constexpr int OMBUS_ERR_NAME = 2;     // the name was not obtained (owned elsewhere, denied)
constexpr int OMBUS_ERR_REGISTER = 3; // the service's object could not be registered
constexpr int OMBUS_ERR_NO_MEMORY = 4;

// A method call being dispatched and the reply being built; both belong to
// the wrapper and live only for the dispatch.
struct OmbusCall;
struct OmbusReply;

// Called on the loop thread for each signal that matches a table entry: two
// wrapper context values (the connection and the message), the address of
// the signal's payload bytes and their count. The payload stays valid only
// until the handler returns.
using OmbusSignalHandler = int (*)(void *context, void *message, const void *payload, uint32_t length);

// One entry of a subscription table; the wrapper reads the table in place, so
// it must live as long as the loop runs.
struct InterestedSignal {
    char interface[64]; // interface that must send the signal; empty: any
    char member[64];    // signal member name
    OmbusSignalHandler handler;
    uint32_t index; // the entry's own position in its table
};

struct OmbusService;

// Called on the loop thread for each method call to the service's object.
// It sets *handled to 1 when it answered the call; an unhandled call gets
// the error org.freedesktop.DBus.Error.UnknownMethod.
using OmbusDispatchFn = void (*)(const OmbusService *service, OmbusCall *call, OmbusReply *reply,
                                 uint8_t *handled);

// A service descriptor begins with these two words; the service's own
// method slots may follow. The name is the bus name, the interface name and,
// with dots turned into slashes, the object path ("a.b" -> "/a/b").
struct OmbusService {
    const char *name;
    OmbusDispatchFn dispatch;
};

// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS chooses another) if not
// yet connected and takes the name without queueing; 0 when it is owned.
int ombusOwnName(const char *name);

// Publishes the service's object on the connection; 0 on success.
int ombusRegisterService(const OmbusService *service);

// Adds one match rule on the bus; 0 on success.
int ombusAddInterestedSignal(const char *rule);

// Removes one match rule again; 0 on success.
int ombusRemoveMatch(const char *rule);

// Hands over a table of count entries: each signal of signature "ay" whose
// member and interface match an entry reaches that entry's handler. Handing
// over another table adds it; handing over the same table again replaces
// its count. 0 on success.
int ombusSetInteresetedSignals(const InterestedSignal *table, int count);

// Runs the connection on the calling thread until it ends, then drops it
// with every registration, so a later ombusOwnName starts afresh.
int ombusMainLoop();

// The value a caller returns for a wrapper status.
int ombus_get_status_value(int status);

// Nonzero when the call is the method of that interface.
int ombusIsMethodCall(const OmbusCall *call, const char *interface, const char *method);

// Reads the call's next argument, which must be "ay": copies at most size
// bytes of it into slot and zero-fills the rest of the slot. 0 on success;
// otherwise the slot is zero-filled, -1 is returned and the call is answered
// with org.freedesktop.DBus.Error.InvalidArgs unless the dispatch handles it.
int ombusReadParcelPointer(OmbusCall *call, void *slot, uint32_t size);

// Reads the call's next argument, which must be "u"; like the above.
int ombusReadParcelUint32(OmbusCall *call, uint32_t *value);

// Appends a u32 to the reply; 0 on success.
int ombusWriteParcelUint32(OmbusReply *reply, uint32_t value);

// Appends a string to the reply; 0 on success, OMBUS_ERR_NO_MEMORY when out
// of memory or the text is not valid UTF-8 (the bus carries no other).
int ombusWriteParcelString(OmbusReply *reply, const char *text);

// The call's method name; never null.
const char *ombusGetMethodName(const OmbusCall *call);

// Logs an error line under the caller's function name and source line, and
// returns.
void ombusLogFatalReal(int line, const char *function, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Subscribed signals per sending interface: received counts each signal that
// matched a table entry, dropped each of those refused (a signature other
// than "ay"). Copies at most max entries, in the order the interfaces were
// first seen, and returns their number. Any thread; the counts are relaxed.
struct OmbusSignalCount {
    char interface[64];
    uint64_t received;
    uint64_t dropped;
};
int ombusSignalCounts(OmbusSignalCount *out, int max);
