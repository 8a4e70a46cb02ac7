#!/usr/bin/env bash
# Builds zelmo and runs every test: a normal build, then an ASan+UBSan build.
# Usage: scripts/test.sh [normal|sanitize|tsan|all]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
what=${1:-all}
jobs=$(nproc)

run_build() { # name, cmake options...
  local dir=build-ci-$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

case $what in
  normal) run_build normal ;;
  sanitize) run_build asan -DZELMO_SANITIZE=ON ;;
  tsan) run_build tsan -DZELMO_TSAN=ON ;;
  all)
    run_build normal
    ASAN_OPTIONS=detect_leaks=1 run_build asan -DZELMO_SANITIZE=ON
    ;;
  *) echo "usage: $0 [normal|sanitize|tsan|all]" >&2; exit 2 ;;
esac
