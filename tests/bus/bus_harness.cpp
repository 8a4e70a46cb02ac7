#include "bus_harness.h"

#include "bus/bus.h"
#include "frame/frame.h"
#include "platform/log.h"

#include <cstdlib>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

// Log lines go to standard error, where the tests capture them (CaptureFd).
static const bool g_log_on_stderr = (cslibLog_setDestination(1), true);

std::optional<Delivered> read_local_message(int fd, std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0)
        return std::nullopt;
    LocalMessage message{};
    if (read(fd, &message, sizeof message) != ssize_t(sizeof message))
        return std::nullopt;
    Delivered d;
    d.type = message.type;
    if (message.payload != nullptr) {
        d.payload.assign(message.payload, message.payload + message.length);
        d.terminated = message.payload[message.length] == 0;
    }
    free(message.payload);
    return d;
}

bool wait_service_ready(BusClient &client, std::chrono::milliseconds timeout)
{
    return wait_until(
        [&] {
            return client
                .call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "org.freedesktop.DBus.Peer", "Ping", {}, 1000ms)
                .ok;
        },
        timeout, 20ms);
}

ServiceThread::ServiceThread(PrivateBus &bus) : bus_(bus)
{
    _g_isRoot = 0;
    if (zelmo_create_local_unix_socket() != 0)
        throw std::runtime_error("cannot create the local pipe");
    thread_ = std::thread([this] { result_ = start_zelmo_service(); });
    BusClient client;
    ready_ = wait_service_ready(client, 5000ms);
}

ServiceThread::~ServiceThread()
{
    stop();
    while (read_local_message(local_pipe[0], 0ms)) {
    }
    close(local_pipe[0]);
    close(local_pipe[1]);
    local_pipe[0] = local_pipe[1] = -1;
}

std::optional<Delivered> ServiceThread::next(std::chrono::milliseconds timeout)
{
    return read_local_message(local_pipe[0], timeout);
}

int ServiceThread::stop()
{
    if (!stopped_) {
        stopped_ = true;
        bus_.stop();
        thread_.join();
    }
    return result_;
}

Bytes pattern(size_t length, uint8_t seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(i * 7 + seed);
    return bytes;
}
