#!/usr/bin/env bash
# zelmo demo: a simulated gateway with a phone on Wi-Fi, a laptop on Ethernet,
# a TV that answers by UPnP, a speaker by mDNS, a printer with DHCP options 43
# and 55, and a smart plug that only speaks plain HTTP.
#
# The plug lives in a network namespace of its own behind a veth pair on the
# bridge br0 of a second namespace that plays the gateway; the daemon, real
# iptables, the capture service and the cloud endpoint run there. The host's
# own network configuration is never touched. Without the right to create
# namespaces (not root) the demo says so, keeps iptables away from the host
# with a recording stand-in, and sends the plug's request to the capture
# service directly.
#
# It prints a timeline (event, table row, cloud report, notification to the
# LAN host daemon) and the final "zelmo dumpall", then removes everything it
# created (processes, namespaces with their rules, files), also on failure.
#
# Environment (for the end-to-end test and for tinkering):
#   ZELMO_DEMO_BIN=DIR      binaries of this build directory (zelmo, tools/gwsim/gwsim); no build
#   ZELMO_DEMO_OUT=DIR      keep the final database, the reports and the logs there
#   ZELMO_DEMO_SKIP_DEPS=1  do not run scripts/deps.sh
#   ZELMO_DEMO_NETNS=0      do not use network namespaces even as root
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD

if [ -z "${ZELMO_DEMO_SKIP_DEPS:-}" ]; then
  bash scripts/deps.sh
fi
BIN=${ZELMO_DEMO_BIN:-}
if [ -z "$BIN" ]; then
  BIN=$SRC/build-demo
  echo "demo: building zelmo and gwsim in $BIN (the first time takes a few minutes)"
  if [ ! -f "$BIN/CMakeCache.txt" ]; then
    cmake -S . -B "$BIN" -DCMAKE_BUILD_TYPE=Release -DZELMO_TESTS=OFF >/dev/null
  fi
  cmake --build "$BIN" -j"$(nproc)" --target zelmo gwsim >/dev/null
fi
ZELMO=$BIN/zelmo
GWSIM=$BIN/tools/gwsim/gwsim
[ -x "$ZELMO" ] && [ -x "$GWSIM" ] || { echo "demo: no zelmo or gwsim in $BIN" >&2; exit 1; }
OUT=${ZELMO_DEMO_OUT:-}

# ---------------------------------------------------------------------------
# The home
TAG=$$
GW_NS=zdemo-gw-$TAG
LAN_NS=zdemo-plug-$TAG
VETH_GW=zdv${TAG}g
VETH_PLUG=zdv${TAG}p
BR_IP=192.168.77.1
OUTSIDE_IP=198.51.100.80

PHONE=02:5a:00:00:00:01
LAPTOP=02:5a:00:00:00:02
TV=02:5a:00:00:00:03
SPEAKER=02:5a:00:00:00:04
PRINTER=02:5a:00:00:00:05
PLUG=02:5a:00:00:00:06
PLUG_IP=192.168.77.60
PLUG_UA="SmartPlug/2.1 (zelmo-demo; HTTP only)"

WORK=$(mktemp -d /tmp/zelmo-demo.XXXXXX)
ROOT=$WORK/root
export ZELMO_ROOT=$ROOT
PIDS=()
NETNS=0
BUS_DIR=$WORK/bus
T0=${EPOCHREALTIME/./}

# ---------------------------------------------------------------------------
# Output helpers
stamp() {
  local now=${EPOCHREALTIME/./}
  local ms=$(((now - T0) / 1000))
  printf '[%4d.%03ds]' $((ms / 1000)) $((ms % 1000))
}
say() { echo "$(stamp) $*"; }
detail() { # label, then the lines of standard input, indented
  local label=$1 line
  while IFS= read -r line; do
    printf '            %-7s %s\n' "$label" "$line"
    label=""
  done
}
die() {
  echo "$(stamp) FAILED: $*" >&2
  exit 1
}

# Prefix of the commands that run in the gateway's namespace (empty without
# namespaces). "ip netns exec" execs the command, so $! of a background job
# is the command's own process.
GW_EXEC=()

# Waits until the command succeeds; fails the demo after the time-out.
wait_for() { # seconds, what, command...
  local seconds=$1 what=$2
  shift 2
  local end=$((${EPOCHREALTIME/./} + seconds * 1000000))
  until "$@" >/dev/null 2>&1; do
    [ "${EPOCHREALTIME/./}" -lt "$end" ] || die "$what did not happen within ${seconds}s"
    sleep 0.1
  done
}

NOTES_SEEN=0
REPORTS_SEEN=0
notified() { grep -q "^$1 .*| $2 " "$WORK/lanhost.log"; }
# New notifications of the LAN host daemon since the last call.
show_notes() {
  local total
  total=$(grep -c '^notify' "$WORK/lanhost.log" || true)
  [ "$total" -gt "$NOTES_SEEN" ] || return 0
  { grep '^notify' "$WORK/lanhost.log" || true; } | sed -n "$((NOTES_SEEN + 1)),${total}p" |
    sed 's/ len=[0-9]* count=\([0-9]*\) | / (\1) /; s/ | /\n  /g' | detail notify
  NOTES_SEEN=$total
}
report_count() { ls "$WORK/cloud/reports" 2>/dev/null | grep -c '^[0-9]' || true; }
reports_at_least() { [ "$(report_count)" -ge "$1" ]; }
# New cloud reports since the last call, with their rows.
show_reports() {
  local list last
  list=$("$GWSIM" cloud list --dir "$WORK/cloud" --since "$REPORTS_SEEN" --rows)
  [ -n "$list" ] || return 0
  echo "$list" | detail report
  last=$(echo "$list" | sed -n 's/^#\([0-9]*\) .*/\1/p' | tail -1)
  REPORTS_SEEN=${last:-$REPORTS_SEEN}
}
show_row() { "$GWSIM" db --mac "$1" | detail table; }
step() { echo; say "EVENT   $*"; }

# ---------------------------------------------------------------------------
# Clean-up: every process, namespace and file the demo created.
cleanup() {
  local status=$?
  set +e
  trap - EXIT INT TERM
  if [ -n "$OUT" ]; then
    mkdir -p "$OUT"
    cp -f "$ROOT/configs/devices.db" "$OUT/devices.db" 2>/dev/null
    [ -d "$WORK/cloud/reports" ] && cp -r "$WORK/cloud/reports" "$OUT/reports"
    for f in lanhost.log capture.log zelmo.log plug.log cloud.log netfilter.log; do
      [ -f "$WORK/$f" ] && cp -f "$WORK/$f" "$OUT/$f"
    done
    printf '%s\n' "${PIDS[@]}" >"$OUT/pids"
    printf 'netns %s\nnetns %s\nlink %s\nlink %s\n' "$GW_NS" "$LAN_NS" "$VETH_GW" "$VETH_PLUG" >"$OUT/names"
  fi
  local pid i
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for i in $(seq 50); do
    local alive=0
    for pid in "${PIDS[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive = 0 ] && break
    sleep 0.1
  done
  for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  # The daemon archives its logs in the background when SIGTERM ends it.
  for i in $(seq 50); do
    pgrep -f -- "$ROOT/logs/crash_logs" >/dev/null || break
    sleep 0.1
  done
  if [ "$NETNS" = 1 ]; then
    ip netns del "$LAN_NS" 2>/dev/null
    ip netns del "$GW_NS" 2>/dev/null
  fi
  rm -rf "$WORK"
  if [ $status -eq 0 ]; then
    echo "demo: done; everything it created is removed."
  else
    echo "demo: failed (status $status); everything it created is removed." >&2
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------
# The gateway's network: br0 in the gateway namespace, the plug behind a veth.
setup_netns() {
  [ "${ZELMO_DEMO_NETNS:-1}" != 0 ] || return 1
  [ "$(id -u)" = 0 ] || return 1
  ip netns add "$GW_NS" 2>/dev/null || return 1
  NETNS=1
  ip netns add "$LAN_NS" || return 1
  ip -n "$GW_NS" link set lo up
  ip -n "$LAN_NS" link set lo up
  ip -n "$GW_NS" link add br0 type bridge || return 1
  ip link add "$VETH_GW" netns "$GW_NS" type veth peer name "$VETH_PLUG" netns "$LAN_NS" || return 1
  ip -n "$GW_NS" link set "$VETH_GW" master br0
  ip -n "$GW_NS" addr add $BR_IP/24 dev br0
  ip -n "$GW_NS" link set br0 up
  ip -n "$GW_NS" link set "$VETH_GW" up
  # "The internet" beyond the gateway: one address of the gateway itself,
  # so no packet ever leaves the namespaces.
  ip -n "$GW_NS" addr add $OUTSIDE_IP/32 dev lo
  ip -n "$LAN_NS" link set "$VETH_PLUG" name eth0
  ip -n "$LAN_NS" link set eth0 address $PLUG
  ip -n "$LAN_NS" addr add $PLUG_IP/24 dev eth0
  ip -n "$LAN_NS" link set eth0 up
  ip -n "$LAN_NS" route add default via $BR_IP
  GW_EXEC=(ip netns exec "$GW_NS")
  "${GW_EXEC[@]}" iptables -t nat -S >/dev/null 2>&1 || return 1
}

echo "zelmo demo: work directory $WORK"
MONITOR=0
if setup_netns; then
  say "network: namespace $GW_NS (gateway, br0 $BR_IP/24) and $LAN_NS (plug $PLUG_IP, $PLUG)"
  # Every change of the gateway's packet filter, as the kernel reports it
  # (nf_tables), so that a rule that lives only briefly is still seen.
  if command -v xtables-monitor >/dev/null && iptables -V 2>/dev/null | grep -q nf_tables; then
    "${GW_EXEC[@]}" stdbuf -oL xtables-monitor --event >"$WORK/netfilter.log" 2>&1 &
    PIDS+=($!)
    MONITOR=1
  fi
else
  if [ "$NETNS" = 1 ]; then
    ip netns del "$LAN_NS" 2>/dev/null || true
    ip netns del "$GW_NS" 2>/dev/null || true
    NETNS=0
  fi
  GW_EXEC=()
  say "network: cannot create network namespaces here (needs root); the plug's web request goes"
  say "         straight to the capture service, and iptables is a recording stand-in"
  mkdir -p "$WORK/fakebin"
  printf '#!/bin/sh\necho "$*" >>"%s/iptables.log"\nexit 0\n' "$WORK" >"$WORK/fakebin/iptables"
  chmod +x "$WORK/fakebin/iptables"
  export PATH=$WORK/fakebin:$PATH
fi

# ---------------------------------------------------------------------------
# The gateway's services
eval "$("$GWSIM" bus start --dir "$BUS_DIR" | sed -n 's/^\(address\|pid\)=\(.*\)$/BUS_\1='\''\2'\''/p')"
PIDS+=("$BUS_pid")
export DBUS_SYSTEM_BUS_ADDRESS=$BUS_address
say "bus: private dbus-daemon $BUS_pid at $BUS_address"

"${GW_EXEC[@]}" "$GWSIM" cloud serve --dir "$WORK/cloud" --https 0 --bind 127.0.0.1 >"$WORK/cloud.log" 2>&1 &
PIDS+=($!)
wait_for 20 "the cloud endpoint's start" test -f "$WORK/cloud/ports"
CLOUD_PORT=$(sed -n 's/^https=//p' "$WORK/cloud/ports")
CLOUD_URL=https://127.0.0.1:$CLOUD_PORT/zelmo/report
say "cloud: $CLOUD_URL (CA in \$ZELMO_ROOT/usr/configs/kro_cacert.pem)"

"$GWSIM" root init --oui A1B2C3 --pc "ZX GW1" --sn SN0001 --mode RGW \
  --cloud-url "$CLOUD_URL" --user demo --password demo-secret \
  --host $PHONE,192.168.77.21,phone,802.11 \
  --host $LAPTOP,192.168.77.22,laptop,Ethernet \
  --host "$TV,192.168.77.23,tv,Ethernet,Living-room TV" \
  --host $SPEAKER,192.168.77.24,speaker,802.11 \
  --host $PRINTER,192.168.77.25,printer-1,Ethernet \
  --host $PLUG,$PLUG_IP,plug,Ethernet >/dev/null
say "root: $ROOT (identity A1B2C3 / ZX GW1 / SN0001, root mode, six LAN host entries)"

# The LAN host daemon knows the laptop already.
"$GWSIM" lanhost --host $LAPTOP,192.168.77.22,laptop,Ethernet --log "$WORK/lanhost.log" >/dev/null 2>&1 &
PIDS+=($!)
wait_for 10 "the LAN host daemon's start" grep -q owning "$WORK/lanhost.log"

if [ "$NETNS" = 1 ]; then
  "${GW_EXEC[@]}" "$GWSIM" capture --port 8001 --iface br0 --log "$WORK/capture.log" >/dev/null 2>&1 &
else
  "$GWSIM" capture --port 0 --bind 127.0.0.1 --neigh 127.0.0.1=$PLUG --log "$WORK/capture.log" >/dev/null 2>&1 &
fi
PIDS+=($!)
wait_for 10 "the capture service's start" grep -q listening "$WORK/capture.log"
say "$(head -1 "$WORK/capture.log")"

"${GW_EXEC[@]}" "$ZELMO" -d 1 -a 2 -r 60 >"$WORK/zelmo.log" 2>&1 &
PIDS+=($!)
say "zelmo: started (pid ${PIDS[-1]}) with capture periods -a 2 -r 60"

# ---------------------------------------------------------------------------
# The timeline
step "zelmo asks the LAN host daemon for all its hosts (5 s after start); the laptop is reported"
wait_for 20 "the laptop's notification" notified notifyDeviceAdded $LAPTOP
show_row $LAPTOP
show_reports
show_notes

step "the phone associates with SSID 1 (Wi-Fi daemon): entered, not yet reported"
"$GWSIM" emit wifi-assoc --mac $PHONE --ssid 1 >/dev/null
wait_for 10 "the phone's record" "$GWSIM" db --mac $PHONE
show_row $PHONE

step "the LAN host daemon reports the phone (802.11, 192.168.77.21)"
"$GWSIM" emit lanhost --mac $PHONE --ip 192.168.77.21 --name phone --iftype 802.11 --action 1 >/dev/null
wait_for 10 "the phone's notification" notified notifyDeviceAdded $PHONE
show_row $PHONE
show_reports
show_notes

step "the TV is plugged in (Ethernet) and answers by UPnP"
"$GWSIM" emit lanhost --mac $TV --ip 192.168.77.23 --name tv --iftype Ethernet --friendly "Living-room TV" >/dev/null
wait_for 10 "the TV's notification" notified notifyDeviceAdded $TV
"$GWSIM" emit fingerprint upnp --mac $TV --device-type urn:schemas-upnp-org:device:MediaRenderer:1 \
  --manufacturer "Vistara" --model-name "Vistara 55Q" --model-number Q55-2024 --serial VQ55X0012 \
  --udn uuid:tv-vistara-55q-000003 >/dev/null
wait_for 10 "the TV's description" notified notifyDeviceInfoUpdate $TV
show_row $TV
show_reports
show_notes

step "the speaker joins Wi-Fi SSID 5 and answers by mDNS"
"$GWSIM" emit wifi-assoc --mac $SPEAKER --ssid 5 >/dev/null
wait_for 10 "the speaker's record" "$GWSIM" db --mac $SPEAKER
"$GWSIM" emit lanhost --mac $SPEAKER --ip 192.168.77.24 --name speaker --iftype 802.11ac --action 1 >/dev/null
wait_for 10 "the speaker's notification" notified notifyDeviceAdded $SPEAKER
"$GWSIM" emit fingerprint mdns --mac $SPEAKER --manufacturer Sonora --model "Sonora One" \
  --uuid 7c1a2b3c-0000-4000-8000-000000000004 >/dev/null
wait_for 10 "the speaker's description" notified notifyDeviceInfoUpdate $SPEAKER
show_row $SPEAKER
show_reports
show_notes

step "the printer asks for an address: DHCP options 43 and 55, then the LAN host daemon reports it"
"$GWSIM" emit dhcp-opt43 --mac $PRINTER --hostname printer-1 --manufacturer Inkwell --product "Inkwell 300" \
  --model-number IW300 --oui 00C0EE >/dev/null
wait_for 10 "the printer's record" "$GWSIM" db --mac $PRINTER
"$GWSIM" emit dhcp-opt55 --mac $PRINTER --opts 1,3,6,15,44,47 >/dev/null
wait_for 10 "the printer's option 55" sh -c "\"$GWSIM\" db --mac $PRINTER | grep -q opt55="
show_row $PRINTER
"$GWSIM" emit lanhost --mac $PRINTER --ip 192.168.77.25 --name printer-1 --iftype Ethernet >/dev/null
wait_for 10 "the printer's notification" notified notifyDeviceAdded $PRINTER
show_row $PRINTER
show_reports
show_notes

PLUG_PY='
import sys, time, urllib.request
url, ua = sys.argv[1], sys.argv[2]
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
for attempt in range(1, 121):
    try:
        with opener.open(urllib.request.Request(url, headers={"User-Agent": ua}), timeout=2) as r:
            body = r.read().decode(errors="replace").strip()
        print("attempt %d: HTTP %d %s" % (attempt, r.status, body), flush=True)
        if "captured" in body:
            break
    except Exception as e:
        print("attempt %d: %s" % (attempt, e), flush=True)
    time.sleep(1)
'
step "the smart plug ($PLUG_IP) is plugged in; it only ever speaks plain HTTP"
if [ "$NETNS" = 1 ]; then
  say "        it fetches http://$OUTSIDE_IP/ every second with User-Agent \"$PLUG_UA\""
  ip netns exec "$LAN_NS" /usr/bin/python3 -c "$PLUG_PY" "http://$OUTSIDE_IP/" "$PLUG_UA" >"$WORK/plug.log" 2>&1 &
  PIDS+=($!)
fi
"$GWSIM" emit lanhost --mac $PLUG --ip $PLUG_IP --name plug --iftype Ethernet >/dev/null
wait_for 10 "the plug's notification" notified notifyDeviceAdded $PLUG
show_row $PLUG
show_reports
show_notes
if [ "$NETNS" = 1 ]; then
  # The rule lives only until the plug's user agent arrives; the kernel's
  # change events (or, without them, a listing taken in time) show it.
  plug_rule() {
    if [ "$MONITOR" = 1 ]; then
      grep -i -- "-A PREROUTING_USERAGENT .*--mac-source $PLUG" "$WORK/netfilter.log" |
        sed 's/^ *EVENT: -4 -t nat /iptables -t nat /' >"$WORK/rules"
    else
      ip netns exec "$GW_NS" iptables -t nat -S PREROUTING_USERAGENT 2>/dev/null |
        grep -i -- "--mac-source $PLUG" | sed 's/^/iptables -t nat /' >"$WORK/rules"
    fi
    [ -s "$WORK/rules" ] || { [ "$MONITOR" = 0 ] && notified notifyDeviceInfoUpdate $PLUG; }
  }
  wait_for 20 "the plug's capture redirect" plug_rule
  step "the plug's capture timer (2 s) fires: zelmo diverts its port-80 traffic to port 8001"
  if [ -s "$WORK/rules" ]; then
    head -1 "$WORK/rules" | detail rule
  else
    echo "(the rule came and went between two looks)" | detail rule
  fi
else
  CAPTURE_PORT=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$WORK/capture.log")
  wait_for 20 "the plug's capture timer" sh -c "\"$GWSIM\" db --mac $PLUG | grep -q ' stage=2 '"
  step "the plug's capture timer (2 s) fires (no bridge br0 here, so zelmo writes no redirect rule)"
  show_row $PLUG
  say "        without namespaces the plug's request is sent to the capture service directly"
  /usr/bin/python3 -c "$PLUG_PY" "http://127.0.0.1:$CAPTURE_PORT/" "$PLUG_UA" >"$WORK/plug.log" 2>&1 &
  PIDS+=($!)
fi
wait_for 30 "the plug's captured user agent" notified notifyDeviceInfoUpdate $PLUG
step "the capture service saw the plug's request and sent its User-Agent to zelmo"
detail plug <"$WORK/plug.log"
{ grep 'User-Agent' "$WORK/capture.log" || true; } | detail capture
show_row $PLUG
show_reports
show_notes
if [ "$MONITOR" = 1 ]; then
  wait_for 10 "the removal of the plug's redirect" grep -qi -- "-D PREROUTING_USERAGENT .*--mac-source $PLUG" "$WORK/netfilter.log"
  say "        the fingerprint ended the plug's capture: its redirect is deleted"
  grep -m1 -i -- "-D PREROUTING_USERAGENT .*--mac-source $PLUG" "$WORK/netfilter.log" |
    sed 's/^ *EVENT: -4 -t nat /iptables -t nat /' | detail rule
elif [ "$NETNS" = 1 ]; then
  say "        the fingerprint ended the plug's capture:"
  { ip netns exec "$GW_NS" iptables -t nat -S PREROUTING_USERAGENT | grep -i -- "$PLUG" || echo "(no rule for $PLUG)"; } | detail rule
fi

step "the cloud opens a reporting session (120 s): the whole table is uploaded in two requests"
before=$(report_count)
"$GWSIM" emit session-start --timeout 120 >/dev/null
wait_for 15 "the full upload" reports_at_least $((before + 2))
show_reports

step "the phone leaves Wi-Fi (disassociated): inactive, reported during the session"
"$GWSIM" emit wifi-assoc --mac $PHONE --ssid 1 --disassoc >/dev/null
wait_for 10 "the phone's status change" notified notifyDeviceStatusChange $PHONE
show_row $PHONE
show_reports
show_notes

step "the LAN host daemon removes the laptop"
"$GWSIM" emit lanhost-del --mac $LAPTOP >/dev/null
wait_for 10 "the laptop's removal" notified notifyDeviceStatusChange $LAPTOP
show_row $LAPTOP
show_reports
show_notes

step "the cloud closes the session"
"$GWSIM" emit session-stop >/dev/null
sleep 0.5

echo
say "final table (zelmo dumpall):"
"$ZELMO" dumpall 2>&1
echo
say "$(report_count) reports reached the cloud and $(grep -c '^notify' "$WORK/lanhost.log") notifications the LAN host daemon"
