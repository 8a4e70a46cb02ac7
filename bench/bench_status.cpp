// The status snapshot that the main loop publishes after every event it
// served, with a full table of 256 devices, against the cheapest event that
// changes nothing (a repeated DHCP option 55 signal) in the same run.
#include "devtable/devtable.h"
#include "diag/counters.h"
#include "fixture/fixture.h"
#include "fingerprint/fingerprint.h"
#include "frame/frame.h"
#include "platform/log.h"
#include "tracking/tracking.h"

#include <benchmark/benchmark.h>

namespace
{

struct FullTable {
    GatewayRoot gw;
    FullTable()
    {
        cslibLog_setLevel(ZLOG_ERR);
        devtable_alloc();
        field_set(_g_file, gw.db_path().c_str());
        _g_isRoot = 1;
        for (int i = 0; i < MAX_DEVICES; ++i)
            _g_devices[i] = make_record(test_mac(unsigned(i)));
        _g_device_count = MAX_DEVICES;
        update_db();
    }
};

void status_snapshot(benchmark::State &state)
{
    FullTable t;
    for (auto _ : state)
        status_publish();
}
BENCHMARK(status_snapshot)->Unit(benchmark::kMicrosecond);

// The limit: the cheapest event, which changes nothing and saves nothing.
void option55_repeated(benchmark::State &state)
{
    FullTable t;
    Bytes payload = {2, 0, 0, 0, 0, 0xff, 1, 3, 6, 15, 119, 252, 43, 0};
    zelmo_processNotifyDHCPOpt55(payload.data(), uint32_t(payload.size()));
    for (auto _ : state)
        zelmo_processNotifyDHCPOpt55(payload.data(), uint32_t(payload.size()));
}
BENCHMARK(option55_repeated)->Unit(benchmark::kMicrosecond);

// What the bus thread does for one GetStatus call.
void status_answer(benchmark::State &state)
{
    FullTable t;
    status_publish();
    for (auto _ : state)
        benchmark::DoNotOptimize(status_json());
}
BENCHMARK(status_answer)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
