#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, ASan+UBSan) and runs each one
# for a bounded time, starting from its checked-in seeds.
#
# Usage: scripts/fuzz.sh [seconds per target (default 20)] [target ...]
#
# The build goes to build-ci-fuzz (ZELMO_FUZZ_BUILD overrides), the corpus
# each run grows to <build>/fuzz-corpus/<target> (kept between runs), crashing
# inputs to <build>/fuzz-artifacts/, the fuzzer's output to <build>/fuzz-logs/.
# A summary line per target gives executions, coverage (cov: edges, ft:
# features) and corpus size. Exits non-zero when any target found a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
dir=${ZELMO_FUZZ_BUILD:-build-ci-fuzz}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -gline-tables-only"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZELMO_TESTS=OFF -DZELMO_FUZZ=ON "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_C_FLAGS=$flags" >/dev/null
cmake --build "$dir" -j"$jobs" --target fuzz_targets

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(find "$dir/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x -printf '%f\n' | sort)
fi

# The targets keep their private gateway roots in memory-backed storage.
tmp=$(mktemp -d /dev/shm/zelmo-fuzz-run.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$dir/fuzz-corpus" "$dir/fuzz-artifacts" "$dir/fuzz-logs"

failed=()
printf '%-28s %10s %8s %8s %7s %8s\n' target executions exec/s cov ft corpus
for t in "${targets[@]}"; do
  corpus="$dir/fuzz-corpus/$t"
  seeds="fuzz/corpus/$t"
  log="$dir/fuzz-logs/$t.log"
  mkdir -p "$corpus"
  status=0
  # -close_fd_mask=3: the daemon code's own output (log lines at the debug
  # level, dumps) is discarded; libFuzzer keeps its reports.
  TMPDIR="$tmp" ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$dir/fuzz/$t" -max_total_time="$seconds" -max_len=12000 -timeout=30 -rss_limit_mb=4096 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$dir/fuzz-artifacts/$t-" \
    "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  units=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
  printf '%-28s %10s %8s %8s %7s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${units:-?}"
  if [ "$status" -ne 0 ]; then
    failed+=("$t")
    echo "---- $t failed (status $status); end of $log:" >&2
    tail -n 60 "$log" >&2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: targets with findings: ${failed[*]} (inputs in $dir/fuzz-artifacts/)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without findings"
