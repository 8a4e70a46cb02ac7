// Device events: host updates sent to the running daemon through the
// message-service socket, timed from the send to the LAN host notification
// that ends their handling, with the devices.db writes each one causes.
// Beside them, measured in the same run, the two fixed costs every event
// carries: one durable write of the full table and one check of the jump into
// the capture chain with real iptables.
//
// The daemon runs as on the gateway (log level 6 to syslog, capture timers far
// away) inside a private network namespace with a LAN bridge and real
// iptables, with the recording cloud server as its cloud. Without root the
// namespace is unavailable and a recording iptables stand-in is used instead
// (the label says so).
#include "capture/netns.h"
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "fixture/cloud_server.h"
#include "fixture/fixture.h"
#include "frame/frame.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = size_t(p * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// The daemon and everything around it, made once for the whole run.
struct Rig {
    std::unique_ptr<NetNamespace> ns;
    bool real_iptables = false;
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    std::unique_ptr<CloudServer> cloud;
    ToolStandIns tools;
    std::unique_ptr<DaemonProcess> zelmo;
    int notify_fd = -1;
    unsigned devices = 0; // test_mac(1..devices) are in the table
    std::vector<unsigned> generation = std::vector<unsigned>(MAX_DEVICES + 1, 0); // per device

    Rig()
    {
        gw.write_device_info("A1B2C3", "XS-010", "SN0001");
        gw.write_wifi_mode("RGW");
        ns = std::make_unique<NetNamespace>();
        real_iptables = ns->skip_reason().empty() && ns->add_bridge("192.168.77.1/24") &&
                        ns->exec({"ip", "link", "set", "lo", "up"}) == 0;
        std::vector<std::string> env;
        if (!real_iptables) {
            tools.add("iptables");
            env.push_back(tools.path_env());
        }
        {
            // The cloud server and the daemon share the namespace's loopback.
            std::unique_ptr<InNamespace> inside;
            if (real_iptables)
                inside = std::make_unique<InNamespace>(*ns);
            cloud = std::make_unique<CloudServer>();
            gw.write_http_profile(cloud->url());
            zelmo = std::make_unique<DaemonProcess>(std::vector<std::string>{"-a", "3600"}, env);
        }
        wait_until([] { return file_exists(csmsg_socket_path()); }, 5000ms);
        notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(notify_fd, gw.file("/configs").c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~Rig()
    {
        if (notify_fd >= 0)
            close(notify_fd);
    }

    // devices.db replacements since the last call.
    size_t db_writes()
    {
        size_t n = 0;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            ssize_t len = read(notify_fd, buffer, sizeof buffer);
            if (len <= 0)
                return n;
            for (char *p = buffer; p < buffer + len;) {
                auto *e = reinterpret_cast<inotify_event *>(p);
                if ((e->mask & IN_MOVED_TO) && e->len > 0 && std::string(e->name) == "devices.db")
                    ++n;
                p += sizeof(inotify_event) + e->len;
            }
        }
    }
    size_t db_size() const
    {
        struct stat st {
        };
        return stat(gw.db_path().c_str(), &st) == 0 ? size_t(st.st_size) : 0;
    }

    LanHostEntryObject entry(unsigned n, unsigned address_generation = 0) const
    {
        return make_lanhost(test_mac(n),
                            "192.168." + std::to_string(1 + address_generation % 200) + "." +
                                std::to_string(n % 250 + 1),
                            "host" + std::to_string(n));
    }
    bool send_host(const LanHostEntryObject &e)
    {
        return send_message(make_host_update_message(e, STATUS_ACTIVE, "Reachable", "Associated"));
    }
    bool add_device()
    {
        size_t before = lanhost.calls("notifyDeviceAdded").size();
        ++devices;
        return send_host(entry(devices)) && lanhost.wait_for("notifyDeviceAdded", before + 1, 10000ms);
    }
};

Rig &rig()
{
    static Rig r;
    return r;
}

constexpr unsigned kDevices = 200;

// What one kind of event cost, per event.
struct EventTally {
    std::vector<double> latencies_ms;
    size_t writes = 0;
    double bytes = 0;

    void after_event(Rig &r)
    {
        size_t w = r.db_writes();
        writes += w;
        bytes += double(w) * double(r.db_size());
    }
    void report(benchmark::State &state, size_t events, Rig &r) const
    {
        // The daemon's standard error is its own file; a failed upload would
        // make every later event skip its upload, and the figures meaningless.
        if (r.zelmo->count_output("curl_easy_perform() failed") != 0)
            state.SkipWithError("an upload failed: the figures would not include the uploads");
        state.SetItemsProcessed(int64_t(events));
        if (!latencies_ms.empty()) {
            state.counters["p50_ms"] = percentile(latencies_ms, 0.50);
            state.counters["p99_ms"] = percentile(latencies_ms, 0.99);
        }
        state.counters["db_writes_per_event"] = double(writes) / double(events);
        state.counters["db_bytes_per_event"] = bytes / double(events);
    }
};

void label(benchmark::State &state, Rig &r)
{
    state.SetLabel(r.real_iptables ? "real iptables in a private namespace"
                                   : "iptables stand-in (no namespace)");
}

// Fills the table up to kDevices; false (the benchmark skipped) when a device
// could not be added.
bool fill_table(benchmark::State &state, Rig &r)
{
    while (r.devices < kDevices)
        if (!r.add_device()) {
            state.SkipWithError("could not fill the table");
            return false;
        }
    return true;
}

// One host event per iteration, with the entry next_entry() makes: the
// update sent, then the notification it brings awaited; the time between is
// the event's latency. The benchmark is skipped when a notification does not
// come.
template <typename NextEntry>
void time_host_events(benchmark::State &state, Rig &r, const char *notification, NextEntry next_entry)
{
    r.db_writes();
    EventTally tally;
    for (auto _ : state) {
        size_t before = r.lanhost.calls(notification).size();
        LanHostEntryObject e = next_entry();
        auto start = Clock::now();
        r.send_host(e);
        if (!r.lanhost.wait_for(notification, before + 1, 10000ms)) {
            state.SkipWithError("no notification");
            return;
        }
        double ms = ms_since(start);
        tally.latencies_ms.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
        tally.after_event(r);
    }
    tally.report(state, size_t(state.iterations()), r);
}

// A device the table has never seen: host form uploaded, record created,
// capture timer started, notifyDeviceAdded.
void BM_host_event_new_device(benchmark::State &state)
{
    Rig &r = rig();
    label(state, r);
    if (r.devices + kDevices > MAX_DEVICES) {
        state.SkipWithError("table full: run this benchmark once per process");
        return;
    }
    time_host_events(state, r, "notifyDeviceAdded", [&r] { return r.entry(++r.devices); });
}
BENCHMARK(BM_host_event_new_device)->Iterations(kDevices)->UseManualTime()->Unit(benchmark::kMillisecond);

// A known, reported device whose address changed, no cloud session: uploaded,
// stored, notifyDeviceStatusChange.
void BM_host_event_changed_device(benchmark::State &state)
{
    Rig &r = rig();
    label(state, r);
    if (!fill_table(state, r))
        return;
    unsigned i = 0;
    time_host_events(state, r, "notifyDeviceStatusChange", [&r, &i] {
        unsigned n = 1 + i++ % kDevices;
        return r.entry(n, ++r.generation[n]);
    });
}
BENCHMARK(BM_host_event_changed_device)->Iterations(kDevices)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same update again: "no change", nothing uploaded, saved or notified.
// Such an event has no notification to wait for, so a batch of repeats is
// sent back to back and closed by one changed-device event whose
// notification marks the end of the batch (counted as one more event).
void BM_host_event_identical_repeats(benchmark::State &state)
{
    Rig &r = rig();
    label(state, r);
    if (!fill_table(state, r))
        return;
    r.db_writes();
    EventTally tally;
    size_t events = 0;
    for (auto _ : state) {
        size_t before = r.lanhost.calls("notifyDeviceStatusChange").size();
        auto start = Clock::now();
        for (unsigned n = 2; n <= kDevices; ++n)
            r.send_host(r.entry(n, r.generation[n]));
        r.send_host(r.entry(1, ++r.generation[1]));
        if (!r.lanhost.wait_for("notifyDeviceStatusChange", before + 1, 30000ms)) {
            state.SkipWithError("the batch did not end");
            return;
        }
        state.SetIterationTime(ms_since(start) / 1000.0);
        events += kDevices;
        tally.after_event(r);
    }
    tally.report(state, events, r);
}
BENCHMARK(BM_host_event_identical_repeats)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// Limit: one durable write of a full table (256 records), as every save does.
void BM_full_table_durable_write(benchmark::State &state)
{
    GatewayRoot gw;
    devtable_alloc();
    field_set(_g_file, gw.db_path().c_str());
    for (int i = 0; i < MAX_DEVICES; ++i)
        _g_devices[i] = make_record(test_mac(unsigned(i + 1)));
    _g_device_count = MAX_DEVICES;
    int32_t stage = 0;
    for (auto _ : state) {
        _g_devices[0].TimerStage.set(++stage); // a real change, so the save is not skipped
        benchmark::DoNotOptimize(update_db());
    }
    state.counters["bytes_per_write"] = double(64 + MAX_DEVICES * sizeof(DeviceRecord));
}
BENCHMARK(BM_full_table_durable_write)->Unit(benchmark::kMillisecond);

// Limit: one check of the jump into the capture chain (the listing; the jump
// is in place), with real iptables in the daemon's namespace.
void BM_iptables_jump_check(benchmark::State &state)
{
    Rig &r = rig();
    label(state, r);
    std::unique_ptr<InNamespace> inside;
    std::unique_ptr<ToolStandIns> tools;
    std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
    if (r.real_iptables) {
        inside = std::make_unique<InNamespace>(*r.ns);
    } else {
        tools = std::make_unique<ToolStandIns>();
        tools->add("iptables");
        setenv("PATH", (tools->dir() + ":" + saved_path).c_str(), 1);
    }
    for (auto _ : state)
        exists_iptable();
    setenv("PATH", saved_path.c_str(), 1);
}
BENCHMARK(BM_iptables_jump_check)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
