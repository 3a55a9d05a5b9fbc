#!/usr/bin/env bash
# What the C++ face costs: the echo server of echo_keel.c against the same server written on keel.hpp with callbacks
# (echo_keel_cpp.cc) and with a coroutine per connection (echo_keel_cpp_co.cc), all three on the same libkeel, under
# loadgen's ping-pong with 1 and 100 connections. The rounds alternate: each runs every server once per case, so
# that other work on a shared machine disturbs all three alike. Figures only, into bench/net/cpp_report.md.
#
#   ROUNDS=7 DURATION=3 bash bench/net/cpp_run.sh [BUILD_DIR]      (default build: its libkeel.so)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
ROUNDS=${ROUNDS:-7}
DURATION=${DURATION:-3}
WARMUP=${WARMUP:-1}
. bench/net/cpp_servers.sh

pin_server="" pin_load=""
if [ "$(nproc)" -ge 2 ]; then pin_server="taskset -c 0" pin_load="taskset -c 1"; fi
results=$out/results.txt
: >"$results"
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
for ((round = 1; round <= ROUNDS; round++)); do
    for conns in 1 100; do
        for server in echo_keel echo_keel_cpp echo_keel_cpp_co; do
            port=$((20000 + RANDOM % 12000))
            (cd "$out/at-once" && exec env ECHO_KEEL_QUIET=1 $pin_server "../$server" "$port") &
            pid=$!
            line=$($pin_load "$out/loadgen" pingpong -p "$port" -c "$conns" -d "$DURATION" -w "$WARMUP" -P "$pid")
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
            echo "server=$server round=$round ${line:-mode=pingpong conns=$conns error=loadgen-died}" | tee -a "$results"
        done
    done
done

python3 - "$results" "$load_at_start" "$(cut -d' ' -f1-3 /proc/loadavg)" "$ROUNDS" "$DURATION" >"$src/cpp_report.md" <<'PY'
import statistics, sys
path, load0, load1, rounds, duration = sys.argv[1:]
rates, cpu = {}, {}
for line in open(path):
    f = dict(kv.split("=", 1) for kv in line.split() if "=" in kv)
    if "rate" in f:
        rates.setdefault((f["server"], int(f["conns"])), []).append(float(f["rate"]))
    if "cpu_us_per_event" in f:
        cpu.setdefault((f["server"], int(f["conns"])), []).append(float(f["cpu_us_per_event"]))
names = {"echo_keel": "echo_keel.c (C)", "echo_keel_cpp": "echo_keel_cpp.cc (callbacks)",
         "echo_keel_cpp_co": "echo_keel_cpp_co.cc (coroutines)"}
print("# The C++ face against the C interface: echo ping-pong\n")
print(f"`bench/net/cpp_run.sh` with ROUNDS={rounds} DURATION={duration}: loadgen's ping-pong (64-byte requests, each")
print("waiting for its echo) against three servers on the same libkeel.so, server pinned to core 0 and load to core 1,")
print("in alternating rounds. Requests per second, the median of the rounds (lowest – highest), and the median of each")
print(f"round's ratio to the C server in that round. Load average at start {load0}, at the end {load1}.\n")
print("| server | 1 connection | ratio | 100 connections | ratio |")
print("|---|---|---|---|---|")
for s in names:
    cells = []
    for c in (1, 100):
        r, base = rates.get((s, c), []), rates.get(("echo_keel", c), [])
        if not r:
            cells += ["–", "–"]
            continue
        ratio = statistics.median(a / b for a, b in zip(r, base)) if base else float("nan")
        cells += [f"{statistics.median(r):,.0f} ({min(r):,.0f} – {max(r):,.0f})", f"{ratio:.3f}×"]
    print(f"| {names[s]} | " + " | ".join(cells) + " |")
spread = {c: max(rates[("echo_keel", c)]) / min(rates[("echo_keel", c)]) for c in (1, 100) if rates.get(("echo_keel", c))}
below = [f"{names[s]} at {c}" for s in names for c in (1, 100) if rates.get((s, c)) and rates.get(("echo_keel", c)) and
         statistics.median(a / b for a, b in zip(rates[(s, c)], rates[("echo_keel", c)])) < 0.97]
print("\nThe goal is 0.97× of the C server or better: the face should cost nothing. " +
      ("Every ratio meets it." if not below else "Below it: " + ", ".join(below) + ".") +
      " The C server's own rate varied " + " and ".join(f"{v:.1f}×" for v in spread.values()) +
      " between rounds (1 and 100 connections): other work on the machine moves every figure more than the face does,"
      " which is why the rounds alternate and the ratios are taken within a round; the CPU time per request below"
      " is the steadier measure of what the face costs.")
print("\nThe server's CPU time per request (µs, as loadgen reads it from /proc for the server's process), the median of")
print("the rounds, and the median of each round's ratio to the C server's (below 1: cheaper):\n")
print("| server | 1 connection | ratio | 100 connections | ratio |")
print("|---|---|---|---|---|")
for s in names:
    cells = []
    for c in (1, 100):
        r, base = cpu.get((s, c), []), cpu.get(("echo_keel", c), [])
        if not r:
            cells += ["–", "–"]
            continue
        ratio = statistics.median(a / b for a, b in zip(r, base)) if base else float("nan")
        cells += [f"{statistics.median(r):.2f} ({min(r):.2f} – {max(r):.2f})", f"{ratio:.3f}×"]
    print(f"| {names[s]} | " + " | ".join(cells) + " |")
PY
echo "cpp_run.sh: wrote $src/cpp_report.md"
