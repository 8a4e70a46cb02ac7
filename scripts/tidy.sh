#!/usr/bin/env bash
# Static analysis: clang-tidy with the checks of .clang-tidy over the daemon's
# code (src/) and the platform layer (platform/), using the compile commands
# of a clang configuration of the build (configured only, nothing is built).
# Every finding is an error: exits non-zero when there is any.
#
# Usage: scripts/tidy.sh [file ...]   (default: every .cpp of src/ and platform/)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${ZELMO_TIDY_BUILD:-build-ci-tidy}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZELMO_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(find src platform -name '*.cpp' | sort)
fi
echo "clang-tidy: ${#files[@]} files"
# clang-tidy counts the warnings it suppressed (system headers, disabled
# checks) on standard error; only findings are shown.
set +o pipefail
printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P "$jobs" clang-tidy -p "$dir" --quiet 2>&1 |
  { grep -v -E '^[0-9]+ warnings? generated\.$' || true; }
status=${PIPESTATUS[1]}
set -o pipefail
if [ "$status" -ne 0 ]; then
  echo "clang-tidy: findings above" >&2
  exit 1
fi
echo "clang-tidy: no findings"
