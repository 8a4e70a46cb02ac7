// Bus signals: how fast the daemon's bus thread hands signals to the main
// thread side of the local pipe, against the limit of the same emitter on the
// same private bus: a plain libdbus receiver that only looks at the payload.
//
// Each signal carries its send time (steady clock, nanoseconds) in its first
// eight bytes; latency is taken where the signal is received: on the local
// pipe's read end for the daemon, in the receiver's filter for the plain
// receiver. Argument: signals per burst (1: one at a time, latency without
// queueing) and payload size.
#include "bus/bus.h"
#include "fixture/fixture.h"
#include "frame/frame.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace
{

uint64_t now_ns()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

uint64_t stamp_of(const void *payload, uint32_t length)
{
    uint64_t stamp = 0;
    if (length >= sizeof stamp)
        memcpy(&stamp, payload, sizeof stamp);
    return stamp;
}

// What a receiving side has seen: the count of signals and their latencies
// in microseconds. The emitter waits on done() until a burst is complete.
class Tally
{
  public:
    // Called on the receiving thread for each signal.
    void add(uint64_t sent)
    {
        double us = double(now_ns() - sent) / 1000.0;
        std::lock_guard<std::mutex> lock(mutex_);
        latencies_.push_back(us);
        if (++received_ == target_)
            done_.notify_one();
    }
    // Expects count more signals.
    void expect(uint64_t count)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        target_ = received_ + count;
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return received_ >= target_; });
    }
    void report(benchmark::State &state, const std::string &prefix)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (latencies_.empty())
            return;
        std::sort(latencies_.begin(), latencies_.end());
        state.counters[prefix + "p50_us"] = latencies_[latencies_.size() / 2];
        state.counters[prefix + "p99_us"] =
            latencies_[std::min(latencies_.size() - 1, latencies_.size() * 99 / 100)];
        latencies_.clear();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<double> latencies_;
    uint64_t received_ = 0;
    uint64_t target_ = 0;
};

// The daemon's main-thread side: reads the local pipe as the main loop does
// and frees each payload.
class MainSide
{
  public:
    MainSide()
    {
        thread_ = std::thread([this] {
            LocalMessage message{};
            while (read(local_pipe[0], &message, sizeof message) == ssize_t(sizeof message)) {
                if (message.type == LM_TYPE_LIMIT) // the end marker
                    break;
                tally.add(stamp_of(message.payload, message.length));
                free(message.payload);
            }
        });
    }
    ~MainSide()
    {
        LocalMessage end{LM_TYPE_LIMIT, 0, nullptr};
        ssize_t ignored = write(local_pipe[1], &end, sizeof end);
        (void)ignored;
        thread_.join();
    }
    Tally tally;

  private:
    std::thread thread_;
};

// A receiver that does nothing but read the payload: the bus's own limit.
class PlainReceiver
{
  public:
    PlainReceiver()
    {
        ScopedDBusError error;
        connection_.reset(dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get()));
        if (!connection_)
            throw std::runtime_error("plain receiver cannot connect");
        dbus_connection_set_exit_on_disconnect(connection_.get(), FALSE);
        dbus_bus_add_match(connection_.get(), "type='signal',interface='arvex.bench',member='plain'",
                           error.get());
        dbus_connection_add_filter(connection_.get(), filter, this, nullptr);
        thread_ = std::thread([this] {
            while (dbus_connection_read_write_dispatch(connection_.get(), -1)) {
            }
        });
    }
    ~PlainReceiver() { thread_.join(); } // the bus has been stopped by then
    Tally tally;

  private:
    static DBusHandlerResult filter(DBusConnection *, DBusMessage *message, void *self)
    {
        if (!dbus_message_is_signal(message, "arvex.bench", "plain") ||
            !dbus_message_has_signature(message, "ay"))
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        DBusMessageIter args, bytes;
        const void *data = nullptr;
        int length = 0;
        dbus_message_iter_init(message, &args);
        dbus_message_iter_recurse(&args, &bytes);
        dbus_message_iter_get_fixed_array(&bytes, &data, &length);
        static_cast<PlainReceiver *>(self)->tally.add(stamp_of(data, uint32_t(length)));
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    DBusPrivateConnectionPtr connection_;
    std::thread thread_;
};

struct World {
    PrivateBus bus;
    std::thread service;
    std::optional<MainSide> main_side;
    std::optional<PlainReceiver> plain;
    std::optional<BusClient> emitter;
};
World *g_world = nullptr;

// Sends count signals of size bytes, stamped, and flushes once.
void emit(const char *interface, const char *member, int64_t count, size_t size)
{
    std::vector<uint8_t> payload(std::max<size_t>(size, 8), 0x5a);
    DBusConnection *connection = g_world->emitter->connection();
    for (int64_t i = 0; i < count; ++i) {
        uint64_t stamp = now_ns();
        memcpy(payload.data(), &stamp, sizeof stamp);
        DBusMessagePtr signal(dbus_message_new_signal("/arvex/bench", interface, member));
        dbus_append_byte_array(signal.get(), payload.data(), payload.size());
        dbus_connection_send(connection, signal.get(), nullptr);
    }
    dbus_connection_flush(connection);
}

// Sends one burst and waits until the receiving side has seen all of it;
// the seconds it took.
double burst(Tally &tally, const char *interface, const char *member, int64_t count, size_t size)
{
    auto start = std::chrono::steady_clock::now();
    tally.expect(uint64_t(count));
    emit(interface, member, count, size);
    tally.wait();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration sends one burst through the daemon and one to the plain
// receiver, in alternating order, so both see the same machine load.
void BM_bus_signals(benchmark::State &state)
{
    Tally &daemon = g_world->main_side->tally;
    Tally &plain = g_world->plain->tally;
    const int64_t count = state.range(0);
    const size_t size = size_t(state.range(1));
    double daemon_s = 0, plain_s = 0;
    bool daemon_first = true;
    for (auto _ : state) {
        if (daemon_first)
            daemon_s += burst(daemon, "arvex.lanhostd", "setLanhostEntry", count, size);
        plain_s += burst(plain, "arvex.bench", "plain", count, size);
        if (!daemon_first)
            daemon_s += burst(daemon, "arvex.lanhostd", "setLanhostEntry", count, size);
        daemon_first = !daemon_first;
    }
    double signals = double(state.iterations() * count);
    state.counters["daemon_per_s"] = signals / daemon_s;
    state.counters["plain_per_s"] = signals / plain_s;
    state.counters["daemon_vs_plain"] = plain_s / daemon_s;
    daemon.report(state, "daemon_");
    plain.report(state, "plain_");
}

// Bursts of 1000 and single signals; 64 bytes and a device update's 2904.
void shapes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"burst", "bytes"});
    for (int64_t size : {64, 2904}) {
        b->Args({1000, size});
        b->Args({1, size});
    }
    b->UseRealTime();
}
BENCHMARK(BM_bus_signals)->Apply(shapes);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    World world;
    g_world = &world;
    _g_isRoot = 0;
    if (zelmo_create_local_unix_socket() != 0)
        return 1;
    world.service = std::thread([] { start_zelmo_service(); });
    world.main_side.emplace();
    world.emitter.emplace();
    world.plain.emplace();
    // Wait until the daemon's loop answers, so its subscriptions are in place.
    if (!wait_until(
            [&] {
                return world.emitter
                    ->call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "org.freedesktop.DBus.Peer", "Ping")
                    .ok;
            },
            5000ms, 20ms))
        return 1;

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    world.main_side.reset();
    world.bus.stop();
    world.service.join();
    world.plain.reset();
    return 0;
}
