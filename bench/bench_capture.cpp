// The per-event capture jump check, in a private network namespace with the
// chain and its jump in place: the in-process checks against the iptables
// listing command that they replace, on both backends.
//
// children_cpu_us is the CPU time of the iptables processes per call (the
// benchmark's own CPU column counts only this process).
#include "capture/netns.h"
#include "fingerprint/fingerprint.h"
#include "fixture/fixture.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

double children_cpu_us()
{
    struct rusage use;
    getrusage(RUSAGE_CHILDREN, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1e6 +
           double(use.ru_utime.tv_usec + use.ru_stime.tv_usec);
}

// A namespace whose nat table (through the given multi-call binary) has the
// chain and the jump, entered by this thread, with "iptables" in PATH
// resolving to that binary.
struct JumpInPlace {
    NetNamespace ns;
    TempDir bin{"zelmo-bench-iptables"};
    std::string saved_path = getenv("PATH");
    std::unique_ptr<InNamespace> inside;
    bool ok = false;
    explicit JumpInPlace(const std::string &multi)
    {
        if (!ns.skip_reason().empty() || access(("/usr/sbin/" + multi).c_str(), X_OK) != 0 ||
            symlink(("/usr/sbin/" + multi).c_str(), (bin.path() + "/iptables").c_str()) != 0)
            return;
        const std::string iptables = bin.path() + "/iptables";
        ok = ns.exec({iptables, "-t", "nat", "-N", "PREROUTING_USERAGENT"}) == 0 &&
             ns.exec({iptables, "-t", "nat", "-I", "PREROUTING", "-j", "PREROUTING_USERAGENT"}) == 0;
        setenv("PATH", (bin.path() + ":" + saved_path).c_str(), 1);
        inside = std::make_unique<InNamespace>(ns);
        ok = ok && inside->ok();
    }
    ~JumpInPlace() { setenv("PATH", saved_path.c_str(), 1); }
};

void run(benchmark::State &state, const std::string &multi, bool in_process, bool after_change)
{
    JumpInPlace place(multi);
    if (!place.ok) {
        state.SkipWithError("no namespace with this backend's nat table");
        return;
    }
    const JumpBackend backend = capture_detect_backend();
    if (in_process && backend == JumpBackend::command) {
        state.SkipWithError("built without the in-process check for this backend");
        return;
    }
    const double before = children_cpu_us();
    for (auto _ : state) {
        if (after_change) {
            state.PauseTiming();
            capture_detect_backend(); // forgets the generation: the rules are dumped
            state.ResumeTiming();
        }
        if (in_process)
            exists_iptable();
        else
            exists_iptable_command();
    }
    state.counters["children_cpu_us"] =
        benchmark::Counter((children_cpu_us() - before) / double(state.iterations()));
}

void BM_jump_check_command_nft(benchmark::State &state)
{
    run(state, "xtables-nft-multi", false, false);
}
void BM_jump_check_generation_nft(benchmark::State &state)
{
    run(state, "xtables-nft-multi", true, false);
}
void BM_jump_check_rule_dump_nft(benchmark::State &state)
{
    run(state, "xtables-nft-multi", true, true);
}
void BM_jump_check_command_legacy(benchmark::State &state)
{
    run(state, "xtables-legacy-multi", false, false);
}
void BM_jump_check_libiptc_legacy(benchmark::State &state)
{
    run(state, "xtables-legacy-multi", true, false);
}

} // namespace

BENCHMARK(BM_jump_check_command_nft)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_jump_check_generation_nft)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_jump_check_rule_dump_nft)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_jump_check_command_legacy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_jump_check_libiptc_legacy)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
