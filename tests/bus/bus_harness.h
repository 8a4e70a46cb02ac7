// The daemon's bus service run in-process on its own thread against the
// private test bus, with the main-thread side of the local pipe read by the
// test.
#pragma once

#include "fixture/fixture.h"

#include <optional>
#include <string>
#include <thread>

// One local message as the main thread receives it.
struct Delivered {
    uint32_t type = 0;
    Bytes payload;
    bool terminated = false; // the heap copy ends with a NUL after the payload
};

// Reads one LocalMessage from the pipe's read end, takes over its payload and frees it.
std::optional<Delivered> read_local_message(int fd, std::chrono::milliseconds timeout);

// Pings the service's name until its loop answers; true when it did.
bool wait_service_ready(BusClient &client, std::chrono::milliseconds timeout);

// length bytes of a repeating pattern that differs with seed.
Bytes pattern(size_t length, uint8_t seed = 0);

// Creates the local pipe, runs start_zelmo_service() on a thread and waits
// until its bus loop answers. Destruction stops the private bus, which ends
// the loop, joins the thread and drains and closes the pipe.
class ServiceThread
{
  public:
    explicit ServiceThread(PrivateBus &bus);
    ~ServiceThread();
    ServiceThread(const ServiceThread &) = delete;
    ServiceThread &operator=(const ServiceThread &) = delete;

    bool ready() const { return ready_; }
    // The next local message, or nothing after the time-out.
    std::optional<Delivered> next(std::chrono::milliseconds timeout = 3000ms);
    // Ends the loop by stopping the bus; start_zelmo_service()'s result.
    int stop();

  private:
    PrivateBus &bus_;
    std::thread thread_;
    int result_ = -1;
    bool ready_ = false;
    bool stopped_ = false;
};
