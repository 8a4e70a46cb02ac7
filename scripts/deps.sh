#!/usr/bin/env bash
# Installs the Debian packages zelmo needs to build, test and run its demo.
set -euo pipefail
PACKAGES=(
  build-essential cmake pkg-config git
  libdbus-1-dev dbus-daemon libcurl4-openssl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev clang-tidy clang-format
  iptables iproute2 openssl ca-certificates procps python3 tar util-linux
  systemd
  libmnl-dev libnftnl-dev libip4tc-dev
  nlohmann-json3-dev
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "zelmo: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update || echo "zelmo: apt-get update reported errors; installing from the indexes at hand" >&2
  apt-get install -y "${missing[@]}"
fi
