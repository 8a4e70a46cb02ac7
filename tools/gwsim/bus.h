// A private connection of the simulator to the system bus
// (DBUS_SYSTEM_BUS_ADDRESS chooses another bus, as libdbus does).
#pragma once

#include "payloads.h"
#include "platform/dbus_raii.h"

#include <cstdint>
#include <string>

class SimBus
{
  public:
    // False with the reason in error() when the bus cannot be reached.
    bool connect();
    DBusConnection *get() const { return conn_.get(); }
    const std::string &error() const { return error_; }

    // Emits a signal with one `ay` argument (to one destination if given),
    // flushes it and waits until the daemon, if on the bus, has read it.
    bool emit(const std::string &path, const std::string &interface, const std::string &member,
              const Bytes &payload, const std::string &destination = "");
    // Calls a method with the arguments (ay, u) and waits for its u32 reply.
    bool call_bytes_u32(const std::string &dest, const std::string &path, const std::string &interface,
                        const std::string &member, const Bytes &payload, uint32_t value, uint32_t &reply,
                        int timeout_ms = 5000);
    // Asks for a well-known name without queueing; true when it is owned.
    bool request_name(const std::string &name);

  private:
    DBusPrivateConnectionPtr conn_;
    std::string error_;
};
