#!/usr/bin/env bash
# A connection per request, taken apart: the server's CPU per connection for
# raw epoll, libuv and Keel (with its reports, and with them off) in
# alternating rounds; the system calls each server makes per connection
# (strace); the instructions its own code runs per connection (callgrind,
# user space only); and what the one report a connection's end costs Keel,
# next to the two system calls that report cannot do without. Figures only,
# into bench/net/accept_report.md.
#
#   ROUNDS=9 DURATION=4 PACE=10000 bash bench/net/accept_run.sh
#
# Every server is offered the same rate (PACE connections a second, below
# what any of them reaches here), so that the figures compare the same work:
# unpaced, the rate swings with the client's supply of local ports, and the
# CPU per connection with it.
set -uo pipefail
cd "$(dirname "$0")/../.."
src=bench/net
out=build-bench/net-accept
ROUNDS=${ROUNDS:-9}
DURATION=${DURATION:-4}
WARMUP=${WARMUP:-1}
SLOTS=${SLOTS:-64}
PACE=${PACE:-10000}
JOBS=${JOBS:-$(nproc)}
CFLAGS="-O2 -g -std=gnu11 -Wall -Wextra"

bash bench/setup.sh >/dev/null 2>&1 || echo "accept_run.sh: bench/setup.sh failed; libuv may be missing"
mkdir -p "$out/keel"
echo '{}' >"$out/keel/select_config.json"  # Keel accepts at once, as the others do
{ cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKEEL_TESTS=OFF &&
  cmake --build build-bench -j"$JOBS" --target keel; } >"$out/libkeel.build.log" 2>&1 ||
    { echo "accept_run.sh: libkeel did not build (see $out/libkeel.build.log)" >&2; exit 1; }
keel_link=(-Iinclude -Lbuild-bench -lkeel -Wl,-rpath,"$PWD/build-bench")
cc $CFLAGS -o "$out/loadgen" "$src/loadgen.c" || exit 1
cc $CFLAGS -o "$out/echo_epoll" "$src/echo_epoll.c" || exit 1
cc $CFLAGS -o "$out/echo_keel" "$src/echo_keel.c" "${keel_link[@]}" || exit 1
cc $CFLAGS -o "$out/report_cost" "$src/report_cost.c" "${keel_link[@]}" || exit 1
servers="epoll uv keel keel-quiet"
if pkg-config --exists libuv; then
    cc $CFLAGS -o "$out/echo_uv" "$src/echo_uv.c" $(pkg-config --cflags --libs libuv) || exit 1
else
    echo "accept_run.sh: libuv1-dev missing: no libuv figures" >&2
    servers="epoll keel keel-quiet"
fi

pin_server="" pin_load=""
if [ "$(nproc)" -ge 2 ]; then pin_server="taskset -c 0" pin_load="taskset -c 1"; fi
ulimit -n "$(ulimit -Hn)"

server_pid=""
start_server() { # server, port, [wrapper...]
    local s=$1 port=$2 dir=$out bin quiet=""
    shift 2
    case $s in
    keel | keel-quiet) bin=echo_keel dir=$out/keel ;;
    *) bin=echo_$s ;;
    esac
    [ "$s" = keel-quiet ] && quiet=1
    bin=$(realpath "$out/$bin")
    # Keel's reports go to a file, as a service's would.
    (cd "$dir" && exec env ${quiet:+ECHO_KEEL_QUIET=1} "$@" "$bin" "$port") 2>>"$out/$s.log" &
    server_pid=$!
}
stop_server() {
    # A server under strace is strace's child, and strace ends with it,
    # writing its table. (Started in the background, a server ignores SIGINT.)
    if pkill -P "$server_pid" 2>/dev/null; then
        for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.2; done
    fi
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
}
pick_port() { echo $((20000 + RANDOM % 12000)); }

results=$out/results.txt
: >"$results"
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
for ((round = 1; round <= ROUNDS; round++)); do
    for s in $servers; do
        rm -f "$out/$s.log"
        port=$(pick_port)
        start_server "$s" "$port" $pin_server
        line=$($pin_load "$out/loadgen" connect -p "$port" -c "$SLOTS" -d "$DURATION" -w "$WARMUP" -R "$PACE" -P "$server_pid")
        stop_server
        echo "kind=cpu server=$s round=$round ${line:-error=loadgen-died}" | tee -a "$results"
    done
done
load_at_end=$(cut -d' ' -f1-3 /proc/loadavg)

# System calls per connection: strace slows every server alike, and the
# counts do not depend on the speed.
if command -v strace >/dev/null; then
    for s in $servers; do
        [ "$s" = keel-quiet ] && continue
        port=$(pick_port)
        start_server "$s" "$port" strace -f -c -o "$(realpath "$out")/strace-$s.txt"
        line=$("$out/loadgen" connect -p "$port" -c "$SLOTS" -d 3 -w 0)
        stop_server
        sleep 0.5  # strace writes its table as the server ends
        done_n=$(grep -o 'done=[0-9]*' <<<"$line" | cut -d= -f2)
        # The window counts only the connections completed in it: the few the
        # generator's slots held at its edges make the counts a little high.
        awk -v s="$s" -v n="${done_n:-0}" '$NF ~ /^[a-z_0-9]+$/ && $NF != "total" && $4 ~ /^[0-9]+$/ && n > 0 {
            printf "kind=syscall server=%s name=%s per_conn=%.3f\n", s, $NF, $4 / n }' \
            "$out/strace-$s.txt" | tee -a "$results"
    done
fi

# Instructions of the server's own code per connection (callgrind counts user
# space only): what each does beyond the system calls.
if command -v valgrind >/dev/null; then
    for s in $servers; do
        [ "$s" = epoll ] && continue
        port=$(pick_port)
        profile=$(realpath "$out")/callgrind-$s.out
        start_server "$s" "$port" valgrind --tool=callgrind --callgrind-out-file="$profile"
        sleep 3  # valgrind's start
        line=$("$out/loadgen" connect -p "$port" -c 16 -d 6 -w 0)
        stop_server
        sleep 1
        done_n=$(grep -o 'done=[0-9]*' <<<"$line" | cut -d= -f2)
        total=$(callgrind_annotate "$profile" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
        echo "kind=instructions server=$s done=${done_n:-0} instructions=${total:-0}" | tee -a "$results"
    done
fi

# One report, whole and in parts; standard error to a file in the folder the
# servers run in, the marker looked for there.
(cd "$out/keel" && $pin_server ../report_cost 100000 7 2>report_cost.log) | sed 's/^/kind=report /' | tee -a "$results"
rm -f "$out/keel/report_cost.log"

python3 - "$results" "$load_at_start" "$load_at_end" "$ROUNDS" "$DURATION" "$SLOTS" "$PACE" >"$src/accept_report.md" <<'PY'
import statistics, sys
path, load0, load1, rounds, duration, slots, pace = sys.argv[1:]
rows = [dict(kv.split("=", 1) for kv in line.split() if "=" in kv) for line in open(path)]
names = {"epoll": "raw epoll (`echo_epoll.c`)", "uv": "libuv (`echo_uv.c`)", "keel": "Keel, reports on",
         "keel-quiet": "Keel, reports off"}
cpu, rate, by_round = {}, {}, {}
for r in rows:
    if r.get("kind") == "cpu" and "cpu_us_per_event" in r and int(r.get("done", 0)) > 0:
        cpu.setdefault(r["server"], []).append(float(r["cpu_us_per_event"]))
        rate.setdefault(r["server"], []).append(float(r["rate"]))
        by_round.setdefault(r["round"], {})[r["server"]] = float(r["cpu_us_per_event"])
base = "uv" if "uv" in cpu else "epoll"
def paired(s):
    v = [x[s] / x[base] for x in by_round.values() if s in x and base in x]
    return statistics.median(v) if v else float("nan")
print("# A connection per request, taken apart\n")
print(f"`bench/net/accept_run.sh` with ROUNDS={rounds} DURATION={duration} PACE={pace}: loadgen's connect mode, {int(pace):,}")
print(f"connections started a second (at most {slots} at a time), each connecting, completing one 64-byte echo and closing,")
print("the client first; server pinned to core 0 and load to core 1, the servers in turn round by round. Keel accepts at")
print(f"once and writes its reports to a file, as a service would. Load average at start {load0}, at the end {load1}.\n")
print("## Server CPU per connection\n")
print("The server's CPU time (all its threads) over the window, divided by the connections completed in it: the median")
print(f"of the rounds (lowest – highest), the median of each round's ratio to {names[base].split(' (')[0]} in that round,")
print("and the median rate.\n")
print("| server | CPU per connection (µs) | ratio | connections/s |")
print("|---|---|---|---|")
for s in names:
    if s in cpu:
        v = cpu[s]
        print(f"| {names[s]} | {statistics.median(v):.2f} ({min(v):.2f} – {max(v):.2f}) | {paired(s):.3f}× "
              f"| {statistics.median(rate[s]):,.0f} |")
sys_rows = [r for r in rows if r.get("kind") == "syscall"]
if sys_rows:
    servers = [s for s in names if any(r["server"] == s for r in sys_rows)]
    calls = sorted({r["name"] for r in sys_rows})
    per = {(r["server"], r["name"]): float(r["per_conn"]) for r in sys_rows}
    calls = [c for c in calls if max(per.get((s, c), 0) for s in servers) >= 0.05]
    print("\n## System calls per connection\n")
    print("`strace -f -c` over 3 s of the same load (counted, not timed; the few connections open at the window's edges")
    print("make each figure a little high). Calls below 0.05 per connection are left out.\n")
    print("| call | " + " | ".join(names[s] for s in servers) + " |")
    print("|---|" + "---|" * len(servers))
    for c in calls:
        print(f"| `{c}` | " + " | ".join(f"{per.get((s, c), 0):.2f}" for s in servers) + " |")
    print("| all | " + " | ".join(f"{sum(per.get((s, c), 0) for c in calls):.2f}" for s in servers) + " |")
ins = {r["server"]: int(r["instructions"]) / int(r["done"]) for r in rows
       if r.get("kind") == "instructions" and int(r.get("done", 0)) > 0 and int(r.get("instructions", 0)) > 0}
if ins:
    print("\n## Instructions per connection, user space\n")
    print("callgrind's count for the whole server process (16 connections at a time for 6 s), divided by the connections")
    print("completed: what each server's own code and its libraries run per connection, system calls not included.\n")
    print("| server | instructions |")
    print("|---|---|")
    for s in names:
        if s in ins:
            print(f"| {names[s]} | {ins[s]:,.0f} |")
rep = next((r for r in rows if r.get("kind") == "report"), None)
if rep:
    print("\n## One report\n")
    print("`report_cost`: the report a connection's end gives (level 4), 100,000 times a round, 7 rounds, medians, standard")
    print("error to a file in the folder the servers use; next to it, the same line written by one `write` and the")
    print("`access(\"dbg\")` every line makes while file logging is off.\n")
    print("| | ns per line |")
    print("|---|---|")
    for k, label in (("report_ns", "the whole report"), ("write_ns", "`write` of the line"),
                     ("access_ns", "`access(\"dbg\")`"), ("rest_ns", "the rest: formatting, locks, the file sink's checks")):
        print(f"| {label} | {float(rep[k]):,.0f} |")
PY
echo "accept_run.sh: wrote $src/accept_report.md"
