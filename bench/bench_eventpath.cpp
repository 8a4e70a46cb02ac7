// The event path of the real daemon, end to end, with the limits that bound
// it measured in the same run. A plain program (no benchmark library loop):
// it prints one table and ends within about a minute.
//
// The daemon runs in a network namespace of its own with a bridge br0 and
// real iptables, on a private bus with the recording LAN host daemon, with
// the recording cloud server on the namespace's loopback as its cloud, and
// with a database of 256 records written before the start. Its standard
// error (log at debug level) goes to a pipe that this program reads: the main
// loop's "Waiting for msg" line after an event marks the event handled.
//
// Per kind of event (host updates signalled by the LAN host daemon):
//   change event      a known wired host toggles between Active and Inactive:
//                     stored, notified, not uploaded (no session open)
//   identical update  the same update again: "No change in state"
//   new device        a host never seen: evicts the oldest Removed record,
//                     host form uploaded, stored, timer started, notified
// it measures events per second (sent back to back, until the last one is
// handled), the daemon's CPU per event (all its threads, from schedstat),
// the CPU of its child processes per event (cutime + cstime), the bytes it
// wrote per event (its own count, "saves.bytes_written" of GetStatus, and the
// bytes the block device under the database received meanwhile, from the
// whole device) and whether child processes ran. It also measures the
// start-up: exec to the bus name. With ZELMO_SOAK_EVENTS=N it then runs N
// more events (changes, repeats and new devices in turn) and prints the
// daemon's RssAnon every N/8 events.
//
// write_bytes of /proc/<pid>/io is not used: on kernels whose page cache
// holds large folios it counts a whole folio (up to 1 MiB here) for every
// record written into one, although only the blocks written reach the disk.
//
// The LAN host signals are sent from the benchmark's own connection, which
// nothing else reads, so each goes out at once; the recording LAN host
// daemon's connection, blocked in its dispatch thread, sends up to 20 ms late.
//
// Needs root (network namespace); says so and ends otherwise.
#include "capture/netns.h"
#include "common/owned_fd.h"
#include "fixture/cloud_server.h"
#include "fixture/fixture.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Reads the daemon's standard error from a FIFO: counts the main loop's
// waiting lines (one per event handled) with the time of the last one, and
// the lines that tell of an ignored repeat or a failed upload.
struct LogReader {
    int fd = -1;
    std::thread thread;
    std::mutex mutex;
    std::vector<Clock::time_point> waits; // time of each "Waiting for msg" line
    std::atomic<size_t> no_change{0}, upload_failures{0};

    void start(const std::string &fifo)
    {
        fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        thread = std::thread([this] { run(); });
    }
    void run()
    {
        std::string line;
        char buffer[65536];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                return;
            const Clock::time_point now = Clock::now();
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    if (line.size() < 4096)
                        line.push_back(buffer[i]);
                    continue;
                }
                if (line.find("Waiting for msg in main thread") != std::string::npos) {
                    std::lock_guard<std::mutex> lock(mutex);
                    waits.push_back(now);
                } else if (line.find("No change in state") != std::string::npos) {
                    ++no_change;
                } else if (line.find("curl_easy_perform() failed") != std::string::npos) {
                    ++upload_failures;
                }
                line.clear();
            }
        }
    }
    size_t handled()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return waits.size();
    }
    // Time of the count-th waiting line (1-based), once it came; false at the time-out.
    bool wait_handled(size_t count, Clock::time_point *at, std::chrono::milliseconds timeout = 30000ms)
    {
        const Clock::time_point end = Clock::now() + timeout;
        while (Clock::now() < end) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (waits.size() >= count) {
                    if (at != nullptr)
                        *at = waits[count - 1];
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return false;
    }
    void stop()
    {
        if (thread.joinable())
            thread.join();
        if (fd >= 0)
            close(fd);
    }
};

// What /proc tells of a process at one moment.
struct ProcSample {
    double cpu_ms = 0;      // all threads, from schedstat (ns)
    double children_ms = 0; // cutime + cstime of reaped children
    double disk_bytes = 0;  // the whole block device's written sectors
};

// The stat file of the block device that holds path.
std::string device_stat_path(const std::string &path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0)
        return "";
    return "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)) +
           "/stat";
}
std::string g_device_stat;

long rss_anon_kb(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("RssAnon:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 8);
}

ProcSample sample(pid_t pid)
{
    ProcSample s;
    const std::string base = "/proc/" + std::to_string(pid);
    if (DIR *d = opendir((base + "/task").c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            unsigned long long run_ns = 0;
            if (FILE *f = fopen((base + "/task/" + e->d_name + "/schedstat").c_str(), "r")) {
                if (fscanf(f, "%llu", &run_ns) == 1)
                    s.cpu_ms += double(run_ns) / 1e6;
                fclose(f);
            }
        }
        closedir(d);
    }
    std::string stat = read_file(base + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren != std::string::npos) {
        // Fields after the command: state is field 3, cutime 16, cstime 17.
        std::vector<std::string> fields;
        size_t p = close_paren + 2;
        while (p < stat.size()) {
            size_t q = stat.find(' ', p);
            fields.push_back(stat.substr(p, q == std::string::npos ? std::string::npos : q - p));
            if (q == std::string::npos)
                break;
            p = q + 1;
        }
        if (fields.size() > 14) {
            const double tick_ms = 1000.0 / double(sysconf(_SC_CLK_TCK));
            s.children_ms = (std::stod(fields[13]) + std::stod(fields[14])) * tick_ms;
        }
    }
    // Field 7 of the device's stat: sectors written, of 512 bytes.
    unsigned long long f[7] = {};
    std::string dev = g_device_stat.empty() ? "" : read_file(g_device_stat);
    if (sscanf(dev.c_str(), "%llu %llu %llu %llu %llu %llu %llu", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5],
               &f[6]) == 7)
        s.disk_bytes = double(f[6]) * 512;
    return s;
}

struct EventRow {
    std::string name;
    size_t events = 0;
    double per_second = 0, cpu_ms = 0, children_ms = 0, bytes = 0, disk_bytes = 0;
    bool ok = false;
    std::string note;
};

constexpr unsigned kTable = MAX_DEVICES;
constexpr unsigned kKept = 128; // devices 1..128 take part; 129..256 stay Removed for the evictions

LanHostEntryObject host_entry(unsigned n)
{
    return make_lanhost(test_mac(n), "192.168.1." + std::to_string(n % 250 + 1), "host" + std::to_string(n));
}

Bytes host_signal(unsigned n, uint32_t action)
{
    return to_bytes(make_lanhost_update(host_entry(n), action));
}

struct Rig {
    std::unique_ptr<NetNamespace> ns;
    GatewayRoot gw;
    PrivateBus bus;
    RecordingLanHost lanhost;
    BusClient client;
    std::unique_ptr<CloudServer> cloud;
    std::unique_ptr<DaemonProcess> zelmo;
    LogReader log;
    std::string fifo;

    bool start()
    {
        gw.write_device_info("A1B2C3", "XS-010", "SN0001");
        gw.write_wifi_mode("RGW");
        std::vector<DeviceRecord> table;
        for (unsigned n = 1; n <= kTable; ++n)
            table.push_back(make_record(host_entry(n)));
        gw.write_db(table);
        g_device_stat = device_stat_path(gw.db_path());
        ns = std::make_unique<NetNamespace>();
        if (!ns->skip_reason().empty()) {
            fprintf(stderr, "bench_eventpath: %s\n", ns->skip_reason().c_str());
            return false;
        }
        if (!ns->add_bridge("192.168.77.1/24") || ns->exec({"ip", "link", "set", "lo", "up"}) != 0) {
            fprintf(stderr, "bench_eventpath: cannot set up the namespace's links\n");
            return false;
        }
        fifo = gw.path() + "/zelmo.log.fifo";
        if (mkfifo(fifo.c_str(), 0600) != 0)
            return false;
        InNamespace inside(*ns);
        cloud = std::make_unique<CloudServer>("ok", "", "", false);
        gw.write_http_profile(cloud->url());
        zelmo = std::make_unique<DaemonProcess>(std::vector<std::string>{"-c",
                                                                         "exec \"$0\" -d 1 -a 3600 2>\"$1\"",
                                                                         DaemonProcess::binary(), fifo},
                                                std::vector<std::string>{}, "sh");
        log.start(fifo);
        return log.wait_handled(1, nullptr, 10000ms) &&
               wait_until(
                   [&] {
                       return client
                           .call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "org.freedesktop.DBus.Peer", "Ping",
                                 {}, 1000ms)
                           .ok;
                   },
                   10000ms, 5ms);
    }
    void stop()
    {
        if (zelmo)
            zelmo->stop();
        log.stop();
    }

    // Sends the signals, then waits until as many events are handled; the
    // row gets the rate and the per-event costs.
    EventRow run_events(const std::string &name, const std::vector<std::pair<std::string, Bytes>> &signals,
                        const std::string &notification = "", size_t notified_before = 0)
    {
        EventRow row;
        row.name = name;
        row.events = signals.size();
        const size_t handled_before = log.handled();
        const ProcSample a = sample(zelmo->pid());
        const Clock::time_point start = Clock::now();
        const double written_before = bytes_written();
        for (const auto &[member, payload] : signals)
            emit_host(member, payload);
        Clock::time_point end;
        row.ok = log.wait_handled(handled_before + signals.size(), &end, 60000ms);
        if (row.ok && !notification.empty())
            row.ok = lanhost.wait_for(notification, notified_before + signals.size(), 30000ms);
        if (!notification.empty())
            end = std::max(end, Clock::now());
        const ProcSample b = sample(zelmo->pid());
        const double n = double(signals.size());
        row.per_second = n / (ms_between(start, end) / 1000.0);
        row.cpu_ms = (b.cpu_ms - a.cpu_ms) / n;
        row.children_ms = (b.children_ms - a.children_ms) / n;
        row.disk_bytes = (b.disk_bytes - a.disk_bytes) / n;
        // The snapshot behind GetStatus is published after each event.
        std::this_thread::sleep_for(20ms);
        row.bytes = (bytes_written() - written_before) / n;
        return row;
    }

    bool emit_host(const std::string &member, const Bytes &payload)
    {
        return client.emit_signal("arvex.lanhostd", member, payload, "/arvex/lanhostd");
    }

    // The daemon's own count of bytes written to the database and journal.
    double bytes_written()
    {
        MethodReply r =
            client.call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "arvex.kvx.zelmo.Status", "GetStatus");
        if (!r.ok || r.reply.strings.size() != 1)
            return -1;
        const std::string &json = r.reply.strings[0];
        size_t at = json.find("\"bytes_written\":");
        return at == std::string::npos ? -1 : std::stod(json.substr(at + 16));
    }

    // Signal to handled, one at a time: the time from the emission of a
    // signal to the main loop's next waiting line.
    double signal_to_handled_ms(const std::function<bool()> &emit)
    {
        const size_t before = log.handled();
        const Clock::time_point start = Clock::now();
        if (!emit())
            return -1;
        Clock::time_point at;
        if (!log.wait_handled(before + 1, &at, 5000ms))
            return -1;
        return ms_between(start, at);
    }
};

// ---------------------------------------------------------------------------
// Limits

double record_write_ms(const std::string &dir)
{
    const std::string path = dir + "/limit-record.db";
    OwnedFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    std::vector<char> image(64 + kTable * sizeof(DeviceRecord), 'r');
    if (fd.fd < 0 || write(fd.fd, image.data(), image.size()) != ssize_t(image.size()) || fsync(fd.fd) != 0)
        return -1;
    std::vector<double> t;
    std::vector<char> record(sizeof(DeviceRecord), 'x');
    for (unsigned i = 0; i < 200; ++i) {
        record[0] = char(i);
        const Clock::time_point a = Clock::now();
        if (pwrite(fd.fd, record.data(), record.size(), off_t(64 + (i % kTable) * record.size())) !=
                ssize_t(record.size()) ||
            fsync(fd.fd) != 0)
            return -1;
        t.push_back(ms_between(a, Clock::now()));
    }
    unlink(path.c_str());
    return median(t);
}

double full_table_write_ms(const std::string &dir)
{
    const std::string path = dir + "/limit-table.db", tmp = path + ".tmp";
    std::vector<char> image(64 + kTable * sizeof(DeviceRecord), 't');
    OwnedFd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<double> t;
    for (unsigned i = 0; i < 30; ++i) {
        image[100] = char(i);
        const Clock::time_point a = Clock::now();
        OwnedFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.fd < 0 || write(fd.fd, image.data(), image.size()) != ssize_t(image.size()) ||
            fsync(fd.fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0)
            return -1;
        fsync(dfd.fd);
        t.push_back(ms_between(a, Clock::now()));
    }
    unlink(path.c_str());
    return median(t);
}

size_t discard_body(char *, size_t size, size_t n, void *)
{
    return size * n;
}

// An upload like the daemon's (one small multipart part) to the local sink;
// a fresh handle per request, or one handle for all.
double http_post_ms(const std::string &url, bool reuse)
{
    std::vector<double> t;
    CURL *kept = reuse ? curl_easy_init() : nullptr;
    for (unsigned i = 0; i < 100; ++i) {
        CURL *h = reuse ? kept : curl_easy_init();
        curl_mime *mime = curl_mime_init(h);
        curl_mimepart *part = curl_mime_addpart(mime);
        curl_mime_name(part, "Device.Hosts.Host.{i}.");
        curl_mime_data(part, "IPAddress,AddressSource,MACAddress\n192.168.1.2,DHCP,02:00:00:00:00:02",
                       CURL_ZERO_TERMINATED);
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_MIMEPOST, mime);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard_body);
        const Clock::time_point a = Clock::now();
        const CURLcode rc = curl_easy_perform(h);
        t.push_back(ms_between(a, Clock::now()));
        curl_easy_setopt(h, CURLOPT_MIMEPOST, nullptr);
        curl_mime_free(mime);
        if (!reuse)
            curl_easy_cleanup(h);
        if (rc != CURLE_OK)
            return -1;
    }
    if (kept != nullptr)
        curl_easy_cleanup(kept);
    return median(t);
}

double bus_round_trip_ms(BusClient &client)
{
    std::vector<double> t;
    for (unsigned i = 0; i < 200; ++i) {
        const Clock::time_point a = Clock::now();
        if (!client.call("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "org.freedesktop.DBus.Peer", "Ping").ok)
            return -1;
        t.push_back(ms_between(a, Clock::now()));
    }
    return median(t);
}

// The soak: events in bursts of 256, eight kinds in turn (two changes, two
// repeats, a new device, its removal, a change, a repeat), RssAnon after
// every eighth of them.
struct SoakPoint {
    size_t events = 0;
    long rss_anon_kb = 0;
    bool ok = true;
};

std::vector<SoakPoint> run_soak(Rig &r)
{
    const char *env = getenv("ZELMO_SOAK_EVENTS");
    const size_t total = env != nullptr ? size_t(atol(env)) : 0;
    std::vector<SoakPoint> points;
    if (total == 0)
        return points;
    points.push_back({0, rss_anon_kb(r.zelmo->pid())});
    size_t done = 0, next_point = total / 8;
    unsigned fresh = 0;
    bool active = false;
    while (done < total) {
        std::vector<std::pair<std::string, Bytes>> signals;
        for (size_t i = 0; i < 256 && done + signals.size() < total; ++i) {
            const unsigned n = 1 + unsigned((done + i) / 8 % kKept);
            switch ((done + i) % 8) {
            case 0:
            case 6:
                active = !active;
                signals.emplace_back("setLanhostEntry",
                                     host_signal(n, active ? STATUS_ACTIVE : STATUS_INACTIVE));
                break;
            case 4:
                signals.emplace_back("setLanhostEntry", host_signal(0x10000 + ++fresh, STATUS_ACTIVE));
                break;
            case 5:
                signals.emplace_back("setLanhostEntry", host_signal(0x10000 + fresh, STATUS_REMOVED));
                break;
            default:
                signals.emplace_back("setLanhostEntry",
                                     host_signal(n, active ? STATUS_ACTIVE : STATUS_INACTIVE));
            }
        }
        const size_t before = r.log.handled();
        for (const auto &[member, payload] : signals)
            r.emit_host(member, payload);
        const bool ok = r.log.wait_handled(before + signals.size(), nullptr, 60000ms);
        done += signals.size();
        if (!ok || done >= next_point) {
            points.push_back({done, rss_anon_kb(r.zelmo->pid()), ok});
            next_point += total / 8;
        }
        if (!ok)
            break;
    }
    return points;
}

// Start-up with the 256-record database: from the spawn of the binary to the
// moment the bus says the name has an owner.
std::vector<double> startup_ms(Rig &r, unsigned runs)
{
    std::vector<double> t;
    for (unsigned i = 0; i < runs; ++i) {
        auto owned = [&] {
            // GetNameOwner answers with an error while nobody owns the name.
            return r.client
                .call(
                    "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                    [](DBusMessage *m) {
                        const char *name = "arvex.kvx.zelmo";
                        dbus_message_append_args(m, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
                    },
                    1000ms)
                .ok;
        };
        if (owned())
            break;
        InNamespace inside(*r.ns);
        const Clock::time_point a = Clock::now();
        DaemonProcess z({"-d", "1", "-a", "3600"}, {});
        const Clock::time_point end = a + 5000ms;
        bool seen = false;
        while (Clock::now() < end && !(seen = owned())) {
        }
        if (seen)
            t.push_back(ms_between(a, Clock::now()));
        z.stop();
        wait_until([&] { return !owned(); }, 2000ms, 1ms);
    }
    return t;
}

} // namespace

int main()
{
    const Clock::time_point begun = Clock::now();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Rig r;
    if (!r.start()) {
        fprintf(stderr, "bench_eventpath: the daemon did not come up\n");
        r.stop();
        return 1;
    }

    // Devices 1..kKept become Active and Reported (the start-up left every
    // loaded record Removed): the first change events, not timed.
    std::vector<std::pair<std::string, Bytes>> signals;
    for (unsigned n = 1; n <= kKept; ++n)
        signals.emplace_back("setLanhostEntry", host_signal(n, STATUS_ACTIVE));
    size_t changes = r.lanhost.calls("notifyDeviceStatusChange").size();
    EventRow warm = r.run_events("warm-up", signals, "notifyDeviceStatusChange", changes);
    changes += kKept;

    std::vector<EventRow> rows;
    // Change events: Inactive, then Active again.
    signals.clear();
    for (uint32_t action : {STATUS_INACTIVE, STATUS_ACTIVE})
        for (unsigned n = 1; n <= kKept; ++n)
            signals.emplace_back("setLanhostEntry", host_signal(n, action));
    rows.push_back(r.run_events("change event", signals, "notifyDeviceStatusChange", changes));
    changes += signals.size();

    // Identical updates: the last update of each device again, four times.
    signals.clear();
    for (unsigned k = 0; k < 4; ++k)
        for (unsigned n = 1; n <= kKept; ++n)
            signals.emplace_back("setLanhostEntry", host_signal(n, STATUS_ACTIVE));
    const size_t no_change_before = r.log.no_change;
    rows.push_back(r.run_events("identical update", signals));
    if (r.log.no_change - no_change_before != signals.size()) {
        rows.back().ok = false;
        rows.back().note = "not every repeat was seen as one";
    }

    // New devices with their upload, each evicting a Removed record.
    signals.clear();
    for (unsigned n = 0; n < 100; ++n)
        signals.emplace_back("setLanhostEntry", host_signal(0x1000 + n, STATUS_ACTIVE));
    const size_t added = r.lanhost.calls("notifyDeviceAdded").size();
    const size_t failures_before = r.log.upload_failures;
    rows.push_back(r.run_events("new device with its upload", signals, "notifyDeviceAdded", added));
    if (r.log.upload_failures != failures_before) {
        rows.back().ok = false;
        rows.back().note = "an upload failed";
    }

    // Signal to handled, one at a time, alternating an identical update and
    // a signal whose handler does nothing.
    std::vector<double> identical_latency, ignored_latency;
    for (unsigned i = 0; i < 200; ++i) {
        const unsigned n = 1 + i % kKept;
        double a = r.signal_to_handled_ms([&] { return r.emit_host("setLanhostEntry", host_signal(n, 1)); });
        double b = r.signal_to_handled_ms(
            [&] { return r.client.emit_signal("arvex.fp", "notifyFPMsg", to_bytes(std::string("fp"))); });
        if (a >= 0)
            identical_latency.push_back(a);
        if (b >= 0)
            ignored_latency.push_back(b);
        std::this_thread::sleep_for(1ms);
    }

    // Limits in the same run.
    const double record_ms = record_write_ms(r.gw.path());
    const double table_ms = full_table_write_ms(r.gw.path());
    const double bus_ms = bus_round_trip_ms(r.client);
    double post_fresh_ms, post_kept_ms;
    {
        InNamespace inside(*r.ns);
        post_fresh_ms = http_post_ms(r.cloud->url(), false);
        post_kept_ms = http_post_ms(r.cloud->url(), true);
    }
    const std::vector<SoakPoint> soak = run_soak(r);
    r.stop();
    r.zelmo.reset();

    // The database the run left behind (256 records) for the start-up.
    const std::vector<double> startup = startup_ms(r, 7);

    printf("\nzelmo event path: real iptables in a network namespace, %u-record table, private bus, "
           "local HTTP cloud, log at debug level to a pipe\n\n",
           kTable);
    printf(
        "| Event | Events | Events/s | CPU/event daemon (ms) | CPU/event children (ms) | Bytes written/event "
        "(daemon's count) | Disk bytes/event (whole device) | Child processes |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const EventRow &row : rows)
        printf("| %s%s | %zu | %.0f | %.3f | %.3f | %.0f | %.0f | %s |\n", row.name.c_str(),
               row.ok
                   ? ""
                   : (" (INVALID: " + (row.note.empty() ? std::string("timed out") : row.note) + ")").c_str(),
               row.events, row.per_second, row.cpu_ms, row.children_ms, row.bytes, row.disk_bytes,
               row.children_ms > 0 ? "yes" : "no");
    printf("\n(warm-up, %zu change events from Removed: %.0f/s%s)\n\n", warm.events, warm.per_second,
           warm.ok ? "" : ", INVALID");
    printf("| Limit in the same run | p50 |\n|---|---:|\n");
    printf("| one %zu-byte record pwrite + fsync | %.3f ms |\n", sizeof(DeviceRecord), record_ms);
    printf("| one full-table temporary file + fsync + rename (+ directory fsync) | %.3f ms |\n", table_ms);
    printf("| bus round trip (Peer.Ping to the daemon) | %.3f ms |\n", bus_ms);
    printf("| HTTP POST to the local sink, fresh handle | %.3f ms |\n", post_fresh_ms);
    printf("| HTTP POST to the local sink, kept handle | %.3f ms |\n", post_kept_ms);
    printf("| signal to handled: identical update | %.3f ms |\n", median(identical_latency));
    printf("| signal to handled: signal the daemon only logs (notifyFPMsg) | %.3f ms |\n",
           median(ignored_latency));
    printf(
        "\nTargets from these limits: change event >= %.0f/s (0.5 / (2 record writes + 1 bus round trip)), "
        "new device >= %.0f/s (0.5 / (POST kept + 2 record writes + 1 bus round trip)), identical update "
        "p50 <= %.3f ms (2 x the only-logged signal)\n",
        500.0 / (2 * record_ms + bus_ms), 500.0 / (post_kept_ms + 2 * record_ms + bus_ms),
        2 * median(ignored_latency));
    std::vector<double> sorted = startup;
    std::sort(sorted.begin(), sorted.end());
    printf("\nStart-up with a %u-record database, exec to the bus name owned (%zu runs): median %.1f ms, min "
           "%.1f ms, max %.1f ms\n",
           kTable, sorted.size(), median(sorted), sorted.empty() ? 0.0 : sorted.front(),
           sorted.empty() ? 0.0 : sorted.back());
    if (!soak.empty()) {
        printf("\nSoak: RssAnon of the daemon after N events\n\n| Events | RssAnon (kB) |\n|---:|---:|\n");
        for (const SoakPoint &p : soak)
            printf("| %zu%s | %ld |\n", p.events, p.ok ? "" : " (INVALID: timed out)", p.rss_anon_kb);
    }
    printf("\nWhole run: %.1f s\n", ms_between(begun, Clock::now()) / 1000.0);
    return 0;
}
