// Device table: database save, lookup, insert and dump formatting.
//
// Every save benchmark reports bytes_per_save, the bytes written to the
// database file per call; raw_write_fsync is the floor a save cannot beat:
// one plain write and fsync of the same number of bytes into the same
// directory.
#include "devtable/devtable.h"
#include "diag/diag.h"
#include "fixture/fixture.h"
#include "frame/frame.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// A full table of 256 records whose database lives in a temporary root.
struct FullTable {
    GatewayRoot gw;
    explicit FullTable(int32_t status = STATUS_ACTIVE)
    {
        devtable_alloc();
        field_set(_g_file, gw.db_path().c_str());
        for (int i = 0; i < MAX_DEVICES; ++i) {
            _g_devices[i] = make_record(test_mac(unsigned(i)));
            _g_devices[i].Status.set(status);
            _g_devices[i].FingerprintType.set(FP_UPNP);
            field_set(_g_devices[i].fingerprintData.upnp.Manufacturer, "Acme Consumer Electronics");
            field_set(_g_devices[i].fingerprintData.upnp.DeviceType,
                      "urn:schemas-upnp-org:device:MediaRenderer:1");
        }
        _g_device_count = MAX_DEVICES;
        update_db();
    }
};

void report_bytes(benchmark::State &state, uint64_t written_before)
{
    state.counters["bytes_per_save"] =
        benchmark::Counter(double(_g_db_bytes_written - written_before) / double(state.iterations()));
}

void BM_update_db_change(benchmark::State &state)
{
    FullTable table;
    uint64_t before = _g_db_bytes_written;
    int32_t n = 1;
    for (auto _ : state) {
        _g_devices[n % MAX_DEVICES].Port.set(n);
        ++n;
        benchmark::DoNotOptimize(update_db());
    }
    report_bytes(state, before);
}
BENCHMARK(BM_update_db_change)->Unit(benchmark::kMicrosecond);

void BM_update_db_identical(benchmark::State &state)
{
    FullTable table;
    uint64_t before = _g_db_bytes_written;
    for (auto _ : state)
        benchmark::DoNotOptimize(update_db());
    report_bytes(state, before);
}
BENCHMARK(BM_update_db_identical)->Unit(benchmark::kMicrosecond);

void BM_raw_write_fsync(benchmark::State &state)
{
    FullTable table;
    std::string path = table.gw.path() + "/configs/raw.bin";
    const size_t size = 64 + MAX_DEVICES * sizeof(DeviceRecord);
    for (auto _ : state) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        benchmark::DoNotOptimize(write(fd, _g_devices, size));
        fsync(fd);
        close(fd);
    }
    state.counters["bytes_per_save"] = double(size);
}
BENCHMARK(BM_raw_write_fsync)->Unit(benchmark::kMicrosecond);

void BM_lookup_last(benchmark::State &state)
{
    FullTable table;
    std::string mac = test_mac(MAX_DEVICES - 1);
    for (char &c : mac)
        c = char(toupper(c));
    int index = -1;
    for (auto _ : state)
        benchmark::DoNotOptimize(is_newdevice(mac.c_str(), &index));
}
BENCHMARK(BM_lookup_last);

// Floor of any linear scan: an exact byte compare of the same 256 keys.
void BM_scan_floor(benchmark::State &state)
{
    FullTable table;
    std::string mac = test_mac(MAX_DEVICES - 1);
    for (auto _ : state) {
        int found = -1;
        for (int i = 0; i < _g_device_count && found < 0; ++i)
            if (memcmp(_g_devices[i].lanHostEntry.MACAddress, mac.c_str(), mac.size() + 1) == 0)
                found = i;
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_scan_floor);

void BM_insert_with_eviction(benchmark::State &state)
{
    FullTable table(STATUS_REMOVED);
    unsigned n = 1000;
    for (auto _ : state) {
        LanHostEntryObject entry = make_lanhost(test_mac(n++));
        benchmark::DoNotOptimize(update_device(entry.MACAddress, 0, STATUS_REMOVED, FP_NONE, 0, 1, &entry,
                                               nullptr, "Reachable", "Associated"));
    }
}
BENCHMARK(BM_insert_with_eviction)->Unit(benchmark::kMicrosecond);

// Standard error pointed at /dev/null for the life of the object.
struct QuietStderr {
    int saved = dup(STDERR_FILENO);
    QuietStderr()
    {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~QuietStderr()
    {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
};

void BM_dumpall(benchmark::State &state)
{
    FullTable table;
    QuietStderr quiet;
    for (auto _ : state)
        zelmo_dumpall();
}
BENCHMARK(BM_dumpall)->Unit(benchmark::kMicrosecond);

// Bytes of one full dump of the current table.
size_t dump_size()
{
    FILE *file = tmpfile();
    int saved = dup(STDERR_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    zelmo_dumpall();
    dup2(saved, STDERR_FILENO);
    close(saved);
    size_t size = size_t(lseek(fileno(file), 0, SEEK_END));
    fclose(file);
    return size;
}

// Floor of the dump: the same bytes written to /dev/null in as many pieces
// (header and one per row), without any formatting.
void BM_dump_write_floor(benchmark::State &state)
{
    FullTable table;
    std::vector<char> row(dump_size() / (MAX_DEVICES + 1), 'x');
    int null = open("/dev/null", O_WRONLY);
    for (auto _ : state)
        for (int i = 0; i <= MAX_DEVICES; ++i)
            benchmark::DoNotOptimize(write(null, row.data(), row.size()));
    close(null);
    state.counters["row_bytes"] = double(row.size());
}
BENCHMARK(BM_dump_write_floor)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
