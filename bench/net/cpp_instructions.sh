#!/usr/bin/env bash
# What the C++ face costs, counted rather than timed: the instructions the
# runtime's main thread runs per request (callgrind, only that thread, where
# every callback and coroutine runs) for the C echo server and the C++ ones,
# under loadgen's ping-pong with 1 and 100 connections. Rates and CPU times
# move with whatever else the machine does (cpp_run.sh); these counts do not.
# Writes bench/net/cpp_instructions.md.
#
#   bash bench/net/cpp_instructions.sh [BUILD_DIR]   (default: build; needs valgrind)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
DURATION=${DURATION:-6}
command -v valgrind >/dev/null || { echo "cpp_instructions.sh: needs valgrind" >&2; exit 1; }
. bench/net/cpp_servers.sh

rows=()
for conns in 1 100; do
    for server in echo_keel echo_keel_cpp echo_keel_cpp_co; do
        port=$((20000 + RANDOM % 12000))
        profile="$out/callgrind-$server-$conns.out"
        (cd "$out/at-once" && exec env ECHO_KEEL_QUIET=1 valgrind --tool=callgrind --callgrind-out-file="../${profile##*/}" \
            --toggle-collect='*main_thread_proc*' "../$server" "$port" 2>/dev/null) &
        pid=$!
        sleep 3  # valgrind's start
        line=$("$out/loadgen" pingpong -p "$port" -c "$conns" -d "$DURATION" -w 0)
        kill -INT "$pid" 2>/dev/null
        sleep 1
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        requests=$(grep -o 'done=[0-9]*' <<<"$line" | cut -d= -f2)
        total=$(callgrind_annotate "$profile" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
        echo "server=$server conns=$conns requests=${requests:-0} instructions=${total:-0}"
        rows+=("$server $conns ${requests:-0} ${total:-0}")
    done
done

printf '%s\n' "${rows[@]}" | python3 -c '
import sys
names = {"echo_keel": "echo_keel.c (C)", "echo_keel_cpp": "echo_keel_cpp.cc (callbacks)",
         "echo_keel_cpp_co": "echo_keel_cpp_co.cc (coroutines)"}
per = {}
for line in sys.stdin:
    s, c, req, ins = line.split()
    per[(s, int(c))] = int(ins) / int(req) if int(req) else float("nan")
print("# The C++ face against the C interface: instructions per request\n")
print("`bench/net/cpp_instructions.sh`: the instructions the main thread ran (callgrind, that thread only), divided")
print("by the requests loadgen'"'"'s ping-pong completed, for the same library under each server.\n")
print("| server | 1 connection | ratio | 100 connections | ratio |")
print("|---|---|---|---|---|")
for s in names:
    cells = []
    for c in (1, 100):
        v, base = per.get((s, c)), per.get(("echo_keel", c))
        cells += [f"{v:,.0f}", f"{v / base:.3f}×"] if v and base else ["–", "–"]
    print(f"| {names[s]} | " + " | ".join(cells) + " |")
' >"$src/cpp_instructions.md"
echo "cpp_instructions.sh: wrote $src/cpp_instructions.md"
