#!/usr/bin/env bash
# The last part of make demo: the serial-to-TCP gateway (serial_tcp_gateway.c)
# between a socat pty pair, which stands in for a serial device, and one TCP
# client. A line goes each way; the device goes away and comes back under the
# same name; a line goes each way again; then everything ends, and what the
# stand-in for systemd heard is shown.
#
#   bash examples/gateway_demo.sh [BUILD_DIR]      (default: build)
#
# Given a Windows build (BUILD_DIR/bin holds keel_serial_tcp_gateway.exe), the
# gateway runs under wine as a Windows user runs it from a console: its port
# is COM3, a link in the wine prefix's dosdevices folder to socat's terminal,
# and Ctrl-C ends it (SIGINT, which wine hands to the console's handlers).
# Windows has no systemd, and os_service_ready and the watchdog's pings do
# nothing there: that run says how it runs instead of naming the unit file,
# and has no manager's line at the end. Every other line is the Linux run's,
# with COM3 for the port's path.
set -euo pipefail

build=${1:-build}
here=$(dirname "$0")
dir=$(mktemp -d /tmp/keel-gateway-demo.XXXXXX)
log=$dir/gateway.out
socat_pid="" gateway_pid="" manager_pid="" shown=0
if [ -f "$build/bin/keel_serial_tcp_gateway.exe" ]; then
  wine_run=$(realpath "$here/../scripts/wine_run.sh")
  windows=1 port_name=COM3 port_link=$(bash "$wine_run")/dosdevices/com3 stop=INT
  gateway=(bash "$wine_run" "$(realpath "$build/bin/keel_serial_tcp_gateway.exe")")
  patience=400 # a wine process takes seconds to start on a loaded machine
else
  windows="" port_name=$dir/port port_link=$dir/port stop=TERM
  gateway=(env NOTIFY_SOCKET="$dir/notify" WATCHDOG_USEC=200000 "$(realpath "$build/examples/keel_serial_tcp_gateway")")
  patience=100
fi

cleanup() {
  exec 3>&- 4>&- || true
  if [ -n "$gateway_pid" ]; then kill "$gateway_pid" 2>/dev/null || true; wait "$gateway_pid" || true; fi
  for pid in $socat_pid $manager_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT

# Prints the gateway's lines that were not shown yet (a Windows program ends
# its lines with CR LF).
show_gateway() {
  local total
  total=$(wc -l < "$log")
  [ "$total" -gt "$shown" ] && sed -n "$((shown + 1)),${total}p" "$log" | tr -d '\r'
  shown=$total
}

# Waits up to 5 s (20 s under wine) for a line of the gateway that holds TEXT,
# then shows it with those before it.
wait_gateway() {
  for _ in $(seq "$patience"); do
    if grep -qF -- "$1" "$log"; then show_gateway; return 0; fi
    kill -0 "$gateway_pid" 2>/dev/null || break
    sleep 0.05
  done
  show_gateway
  echo "demo: no \"$1\" from the gateway" >&2
  return 1
}

# Two connected terminals: the gateway opens $port_link as its serial port,
# and this script plays the device on $dir/device (descriptor 4). Neither
# socat nor the gateway may inherit descriptors 3 and 4: a copy held there
# would keep the client connected, or the device plugged in.
plug_device() {
  rm -f "$dir/device" "$port_link"
  socat pty,raw,echo=0,link="$dir/device" pty,raw,echo=0,link="$port_link" 2>/dev/null 3>&- 4>&- &
  socat_pid=$!
  for _ in $(seq 100); do
    [ -e "$dir/device" ] && [ -e "$port_link" ] && break
    sleep 0.05
  done
  exec 4<>"$dir/device"
}

# One line each way: the client's to the device, then the device's answer.
exchange() {
  printf '%s\n' "$1" >&3
  IFS= read -r -t 5 line <&4
  echo "device got: $line"
  printf '%s\n' "$2" >&4
  IFS= read -r -t 5 line <&3
  echo "client got: $line"
}

echo
echo "== serial-to-TCP gateway (examples/serial_tcp_gateway.c) on a socat pty pair =="
unit=$here/keel-gateway.service
if [ -n "$windows" ]; then
  echo "run under wine as a Windows user runs it from a console, on COM3, and stopped with Ctrl-C"
else
  echo "run as systemd runs it under $(basename "$unit")" \
    "($(grep -E '^(Type|WatchdogSec|Restart)=' "$unit" | paste -sd' ')), here with a watchdog of 0.2 s"
fi
plug_device

# On Linux the gateway runs as systemd would run it (examples/keel-gateway.service):
# with a notify socket, which a socat here stands for, and a watchdog of a
# fifth of a second, so that its main loop pings every 100 ms. A port that is
# taken already makes the gateway leave: another is tried.
if [ -z "$windows" ]; then
  socat -u UNIX-RECV:"$dir/notify" OPEN:"$dir/manager",creat,append 2>/dev/null 3>&- 4>&- &
  manager_pid=$!
  for _ in $(seq 100); do [ -S "$dir/notify" ] && break; sleep 0.05; done
fi
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  "${gateway[@]}" "$port_name" 115200 "$port" > "$log" 3>&- 4>&- &
  gateway_pid=$!
  if wait_gateway "listening on" 2>/dev/null; then break; fi
  wait "$gateway_pid" || true
  gateway_pid="" shown=0
done
[ -n "$gateway_pid" ] || { echo "demo: the gateway did not start" >&2; exit 1; }

exec 3<>"/dev/tcp/127.0.0.1/$port"
wait_gateway "connected (1 client)"
exchange "hello device" "hello client"

echo "device: unplugged"
exec 4>&-
kill "$socat_pid"
wait "$socat_pid" 2>/dev/null || true
wait_gateway " gone"
echo "device: plugged in again"
plug_device
wait_gateway " back"
exchange "still there?" "yes, back again"

exec 3>&-
wait_gateway "left (0 clients)"
kill -"$stop" "$gateway_pid"
wait "$gateway_pid"
gateway_pid=""
show_gateway
[ -z "$windows" ] || exit 0

# What the service manager heard, one datagram after another.
sleep 0.2
kill "$manager_pid" 2>/dev/null || true
wait "$manager_pid" 2>/dev/null || true
heard=$(grep -o 'READY=1\|WATCHDOG=1\|STOPPING=1' "$dir/manager" | uniq)
echo "manager heard:" $heard
