// Signal processors on the main thread, with a full table of 256 devices.
//
// db_save is the limit: one database save, which every signal that changes
// the table ends with. A signal that changes nothing must cost far less than
// a save; one that changes a record costs about one save.
#include "devtable/devtable.h"
#include "fingerprint/fingerprint.h"
#include "fixture/fixture.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "timers/timers.h"
#include "tracking/tracking.h"

#include <benchmark/benchmark.h>

namespace
{

struct FullTable {
    GatewayRoot gw;
    FullTable()
    {
        cslibLog_setLevel(ZLOG_ERR); // the processors' own work, not the log's
        devtable_alloc();
        field_set(_g_file, gw.db_path().c_str());
        _g_isRoot = 1;
        for (int i = 0; i < MAX_DEVICES; ++i)
            _g_devices[i] = make_record(test_mac(unsigned(i)));
        _g_device_count = MAX_DEVICES;
        update_db();
    }
};

// Option 55 payload of the last device of the table, 02:00:00:00:00:ff.
Bytes option55(uint8_t last)
{
    return {2, 0, 0, 0, 0, 0xff, 1, 3, 6, 15, 119, 252, last, 0};
}

void db_save(benchmark::State &state)
{
    FullTable t;
    for (auto _ : state) {
        _g_devices[MAX_DEVICES - 1].Port.set(_g_devices[MAX_DEVICES - 1].Port.get() + 1);
        update_db();
    }
}
BENCHMARK(db_save)->Unit(benchmark::kMicrosecond);

void option55_repeated(benchmark::State &state)
{
    FullTable t;
    Bytes payload = option55(43);
    zelmo_processNotifyDHCPOpt55(payload.data(), uint32_t(payload.size()));
    for (auto _ : state)
        zelmo_processNotifyDHCPOpt55(payload.data(), uint32_t(payload.size()));
}
BENCHMARK(option55_repeated)->Unit(benchmark::kMicrosecond);

void option55_changed(benchmark::State &state)
{
    FullTable t;
    Bytes lists[2] = {option55(42), option55(43)};
    size_t i = 0;
    for (auto _ : state) {
        const Bytes &payload = lists[i++ & 1];
        zelmo_processNotifyDHCPOpt55(payload.data(), uint32_t(payload.size()));
    }
}
BENCHMARK(option55_changed)->Unit(benchmark::kMicrosecond);

void interface_update_of_wired_host(benchmark::State &state)
{
    FullTable t;
    Bytes payload(128, 0);
    std::string mac = test_mac(MAX_DEVICES - 1);
    std::copy(mac.begin(), mac.end(), payload.begin());
    for (auto _ : state)
        zelmo_processNotifyDeviceInterfaceUpdate(payload.data(), uint32_t(payload.size()));
}
BENCHMARK(interface_update_of_wired_host)->Unit(benchmark::kMicrosecond);

void session_command_ignored(benchmark::State &state)
{
    for (auto _ : state)
        zelmo_handleSessionStart("Session_START Mobile timeout=600");
}
BENCHMARK(session_command_ignored);

} // namespace

BENCHMARK_MAIN();
