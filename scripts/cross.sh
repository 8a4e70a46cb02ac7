#!/usr/bin/env bash
# Cross builds of zelmo for armhf (32-bit ARM, little-endian) and s390x
# (64-bit, big-endian), run under qemu-user:
#   - the unit tests that start no foreign child process (see TESTS below),
#   - the fixed scenario, whose database file and notification bytes must be
#     identical on the build machine, on armhf and on s390x.
#
# Usage: scripts/cross.sh [ARCH...]        ARCH: armhf s390x (default: both)
# Needs root (installs Debian packages). The foreign architectures and their
# packages are removed again at the end, so that a plain "apt-get update"
# keeps working on mirrors that lack some foreign indexes; set
# ZELMO_CROSS_KEEP=1 to keep them for faster re-runs.
# The recipe, the apt pin included, is explained in docs/portability.md.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

ARCHS=("$@")
[ ${#ARCHS[@]} -gt 0 ] || ARCHS=(armhf s390x)
JOBS=2
PIN_FILE=/etc/apt/preferences.d/zelmo-cross
# Test executables run under qemu, and the tests in them left out (a gtest
# filter): those start the zelmo binary, which an emulated process cannot
# execute without a binfmt_misc registration of qemu (not available in CI).
# Native helpers (dbus-daemon, python3 servers) start fine. The executables
# not listed (tracking, signals, frame, ...) drive the running daemon.
# qemu-user also emulates at most 32 POSIX timers per process, fewer than the
# 64 that the timer test arms at once.
TESTS=(test_common test_devtable test_platform test_timers test_portability)
EXCLUDE='*.ConcurrentDumpReaderSeesWholeFiles:TimerTest.IdentifiersAreNonZeroUniqueAndManyRunAtOnce'

log() { printf 'cross: %s\n' "$*"; }

triplet() {
  case $1 in
    armhf) echo arm-linux-gnueabihf ;;
    s390x) echo s390x-linux-gnu ;;
    *) echo "cross: unknown architecture $1" >&2; exit 2 ;;
  esac
}

if [ "$(id -u)" -ne 0 ]; then
  echo "cross: must run as root (installs Debian packages)" >&2
  exit 1
fi
for a in "${ARCHS[@]}"; do triplet "$a" >/dev/null; done

# ---------------------------------------------------------------------------
# Packages

host_tools() {
  local pkgs=(cmake make pkg-config qemu-user-static googletest) a missing=()
  for a in "${ARCHS[@]}"; do pkgs+=("g++-$(triplet "$a")"); done
  for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt_update
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# A foreign index that fails to download (some mirrors lag behind for
# foreign architectures) is not fatal: what matters is whether the packages
# resolve afterwards.
apt_update() {
  apt-get update || log "some package indexes could not be fetched; going on with the others"
}

# What the target links, and the C++ runtime that runs it under qemu (the
# runtime must come from the same glibc build as the target's libc6).
target_packages() { # arch
  echo "libcurl4-openssl-dev:$1" "libdbus-1-dev:$1" "libstdc++6:$1"
}

# Multi-Arch: same libraries must have one version on every architecture.
# The security suite carries newer versions for the build machine than for
# the foreign architectures (none at all for s390x), so a library installed
# from it on the build machine blocks its foreign twin. The pin below selects,
# for every such library of the target packages' dependencies, the newest
# version that all architectures have, and lets apt move the build machine's
# copy (and its same-source siblings, such as libssl-dev) to it.
write_pins() {
  local native all=() targets=() t closure same args=() pkg a v x common installed cands src names
  native=$(dpkg --print-architecture)
  all=("$native" "${ARCHS[@]}")
  for a in "${ARCHS[@]}"; do read -r -a t <<<"$(target_packages "$a")"; targets+=("${t[@]}"); done
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${targets[@]}" | grep -E '^[a-z0-9]' | sed 's/:.*//' | sort -u)
  # shellcheck disable=SC2086
  same=$(apt-cache show $(printf "%s:$native " $closure) 2>/dev/null |
    awk '/^Package:/{p=$2} /^Multi-Arch: same/{print p}' | sort -u)
  for pkg in $same; do for a in "${all[@]}"; do args+=("$pkg:$a"); done; done
  # One query each (apt-cache is slow to start): "package arch version" lines.
  local avail cand inst
  avail=$(apt-cache madison "${args[@]}" | awk -F' *[|] *' '{
      n = $1; sub(/^ */, "", n); sub(/:.*/, "", n); k = split($3, w, " "); print n, w[k - 1], $2 }')
  cand=$(apt-cache policy "${args[@]}" | awk -v native="$native" '
      /^[^ ].*:$/ { n = $1; sub(/:$/, "", n); a = native; if (split(n, p, ":") == 2) { n = p[1]; a = p[2] } }
      /^  Candidate:/ { print n, a, $2 }')
  inst=$(dpkg-query -W -f='${Package} ${Architecture} ${Version} ${source:Package} ${Status}\n' |
    awk '$NF == "installed"')
  : >"$PIN_FILE.new"
  for pkg in $same; do
    # The newest version that every architecture has.
    common=""
    for a in "${all[@]}"; do
      x=$(awk -v n="$pkg" -v a="$a" '$1 == n && $2 == a {print $3}' <<<"$avail" | sort -u)
      if [ -z "$common" ]; then common=$x; else common=$(comm -12 <(echo "$common") <(echo "$x")); fi
    done
    if [ -z "$common" ]; then
      log "no version of $pkg exists on all of ${all[*]}"
      continue
    fi
    v=""
    for x in $common; do if [ -z "$v" ] || dpkg --compare-versions "$x" gt "$v"; then v=$x; fi; done
    # Pinned unless every candidate and the build machine's copy are already
    # that version.
    installed=$(awk -v n="$pkg" -v a="$native" '$1 == n && $2 == a {print $3}' <<<"$inst")
    cands=$(awk -v n="$pkg" '$1 == n {print $3}' <<<"$cand" | sort -u)
    if [ "$cands" = "$v" ] && { [ -z "$installed" ] || [ "$installed" = "$v" ]; }; then
      continue
    fi
    # A pin on a bare package name holds only for the build machine's
    # architecture: the foreign copies are named one by one.
    names=$pkg
    for a in "${ARCHS[@]}"; do names+=" $pkg:$a"; done
    printf 'Package: %s\nPin: version %s\nPin-Priority: 1001\n\n' "$names" "$v" >>"$PIN_FILE.new"
    # A downgrade takes along the installed packages of the same source that
    # require the exact version (libssl-dev with libssl3).
    if [ -n "$installed" ] && dpkg --compare-versions "$installed" gt "$v"; then
      src=$(awk -v n="$pkg" -v a="$native" '$1 == n && $2 == a {print $4}' <<<"$inst")
      awk -v s="$src" -v i="$installed" -v n="$pkg" '$4 == s && $3 == i && $1 != n {print $1}' <<<"$inst" |
        sort -u | while read -r x; do
          printf 'Package: %s\nPin: version %s\nPin-Priority: 1001\n\n' "$x" "$v"
        done >>"$PIN_FILE.new"
    fi
  done
  mv "$PIN_FILE.new" "$PIN_FILE"
  log "apt pins in $PIN_FILE:"
  grep -E '^(Package|Pin:)' "$PIN_FILE" | paste - - | sed 's/^/  /' || true
}

FOREIGN_ADDED=()
cleanup() {
  local rc=$?
  if [ "${ZELMO_CROSS_KEEP:-0}" != 1 ] && [ ${#FOREIGN_ADDED[@]} -gt 0 ]; then
    log "removing the foreign architectures ${FOREIGN_ADDED[*]} and their packages"
    local pkgs
    pkgs=$(dpkg-query -W -f='${binary:Package}\n' | grep -E ":($(
      IFS='|'
      echo "${FOREIGN_ADDED[*]}"
    ))\$" || true)
    # shellcheck disable=SC2086
    [ -z "$pkgs" ] || apt-get purge -y --allow-remove-essential $pkgs >/dev/null || log "purging foreign packages failed"
    for a in "${FOREIGN_ADDED[@]}"; do dpkg --remove-architecture "$a" || true; done
    rm -f "$PIN_FILE"
  fi
  exit "$rc"
}
trap cleanup EXIT

install_target() {
  local a missing=() p
  for a in "${ARCHS[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$a"; then
      dpkg --add-architecture "$a"
      FOREIGN_ADDED+=("$a")
    fi
    for p in $(target_packages "$a"); do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  apt_update
  write_pins
  apt-get install -y --no-install-recommends --allow-downgrades "${missing[@]}"
}

# A package mirror that cannot serve the cross packages is outside this
# project's reach: say so and end with 77 ("skipped") instead of failing.
host_tools || { log "cannot install the cross tools; stage skipped"; exit 77; }
install_target || { log "cannot install the target packages; stage skipped"; exit 77; }

# ---------------------------------------------------------------------------
# Builds

build() { # dir, cmake options..., --, targets...
  local dir=$1 opts=()
  shift
  while [ "$1" != -- ]; do
    opts+=("$1")
    shift
  done
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DZELMO_BENCHMARKS=OFF "${opts[@]}" >/dev/null
  cmake --build "$dir" -j"$JOBS" --target "$@"
}

# The build machine only runs the scenario; the targets also build zelmo
# itself, which every test executable depends on.
log "building for the build machine"
build build-cross-native -- test_portability
for a in "${ARCHS[@]}"; do
  log "building for $a"
  build "build-cross-$a" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$a.cmake" -- "${TESTS[@]}"
done

# ---------------------------------------------------------------------------
# Unit tests under qemu

failed=0
qemu_run() { # arch, program, arguments...
  local a=$1
  shift
  "qemu-${a/armhf/arm}-static" "$@"
}
for a in "${ARCHS[@]}"; do
  for t in "${TESTS[@]}"; do
    log "$t on $a (qemu-user)"
    qemu_run "$a" "build-cross-$a/tests/$t" --gtest_filter="-$EXCLUDE" --gtest_brief=1 || failed=1
  done
done

# ---------------------------------------------------------------------------
# Fixed scenario: identical bytes everywhere

out=$(mktemp -d /tmp/zelmo-cross-XXXXXX)
run_scenario() { # name, command...
  local name=$1
  shift
  mkdir -p "$out/$name"
  ZELMO_PORTABILITY_OUT="$out/$name" "$@" --gtest_filter='FixedScenario.*' >"$out/$name.log" 2>&1 || {
    cat "$out/$name.log"
    log "scenario failed on $name"
    failed=1
  }
}
run_scenario native build-cross-native/tests/test_portability
for a in "${ARCHS[@]}"; do
  run_scenario "$a" qemu_run "$a" "build-cross-$a/tests/test_portability"
done
for a in "${ARCHS[@]}"; do
  for f in devices.db single.bin table.bin; do
    if cmp "$out/native/$f" "$out/$a/$f"; then
      log "$f: $a identical to native ($(stat -c %s "$out/$a/$f") bytes)"
    else
      log "$f: $a DIFFERS from native"
      failed=1
    fi
  done
done
rm -rf "$out"

if [ $failed -ne 0 ]; then
  log "FAILED"
  exit 1
fi
log "passed"
