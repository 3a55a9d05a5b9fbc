#!/usr/bin/env bash
# The Modbus RTU slave (modbus_rtu_slave.cpp) on one end of a socat pty pair,
# which stands in for a serial line, and libmodbus's master (modbus_master.c)
# on the other: registers written and read back, each exception, and the
# requests the slave must leave unanswered. Then the slave ends on SIGTERM.
#
#   bash examples/cpp/modbus_demo.sh [BUILD_DIR]      (default: build)
#
# A pty has no baud rate: bytes arrive as fast as they are written, and the
# master writes each frame at once, so the slave's silence between frames is
# only the master's pause between requests.
set -euo pipefail

build=$(realpath "${1:-build}")
slave=$build/examples/keel_modbus_rtu_slave
master=$build/examples/keel_modbus_master
dir=$(mktemp -d /tmp/keel-modbus-demo.XXXXXX)
socat_pid="" slave_pid=""

cleanup() {
  for pid in $slave_pid $socat_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT

echo
echo "== Modbus RTU slave (examples/cpp/modbus_rtu_slave.cpp) and libmodbus's master on a socat pty pair =="
socat pty,raw,echo=0,link="$dir/slave" pty,raw,echo=0,link="$dir/master" 2>/dev/null &
socat_pid=$!
for _ in $(seq 100); do
  [ -e "$dir/slave" ] && [ -e "$dir/master" ] && break
  sleep 0.05
done

"$slave" "$dir/slave" 17 19200 > "$dir/slave.out" &
slave_pid=$!
for _ in $(seq 100); do
  grep -q "holding registers" "$dir/slave.out" && break
  kill -0 "$slave_pid" 2>/dev/null || break
  sleep 0.05
done
cat "$dir/slave.out"
grep -q "holding registers" "$dir/slave.out" || { echo "demo: the slave did not start" >&2; exit 1; }

status=0
"$master" "$dir/master" 17 19200 || status=1

kill -TERM "$slave_pid"
wait "$slave_pid" || { echo "demo: the slave did not end cleanly on SIGTERM" >&2; status=1; }
slave_pid=""
exit $status
