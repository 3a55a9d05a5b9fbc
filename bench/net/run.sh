#!/usr/bin/env bash
# Network benchmarks: one load generator against four echo servers (raw epoll,
# libuv, libevent, Keel), then bench/net/report.md and its plots. Figures
# only: a run that is slow or fails leaves its cell empty, never a failure.
#
#   make bench-net                       everything, a few minutes
#   DURATION=5 REPEAT=3 SERVERS="epoll uv" bash bench/net/run.sh
#
# Each case gets a fresh server, so that its CPU and memory figures are its own.
set -uo pipefail
cd "$(dirname "$0")/../.."
src=bench/net
out=build-bench/net
results=$out/results.txt
DURATION=${DURATION:-3}
WARMUP=${WARMUP:-1}
RATE=${RATE:-20000}        # scale mode: requests per second over all connections
CONNECT_SLOTS=${CONNECT_SLOTS:-64}
SERVERS=${SERVERS:-"epoll uv event keel"}
REPEAT=${REPEAT:-1}        # runs per case; the report keeps the fastest (least disturbed)
JOBS=${JOBS:-$(nproc)}
CC=${CC:-cc}
CFLAGS="-O2 -g -std=gnu11 -Wall -Wextra"

bash bench/setup.sh || echo "run.sh: bench/setup.sh failed; servers whose library is missing are skipped"
mkdir -p "$out"
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

build() { # name, extra flags
    local name=$1
    shift
    $CC $CFLAGS -o "$out/$name" "$src/$name.c" "$@" 2>"$out/$name.build.log" ||
        { echo "run.sh: $name did not build (see $out/$name.build.log)"; return 1; }
}
build loadgen || exit 1
declare -A skip # server -> why it is not measured
build echo_epoll || skip[epoll]="did not build"
if pkg-config --exists libuv; then
    build echo_uv $(pkg-config --cflags --libs libuv) || skip[uv]="did not build"
else skip[uv]="libuv1-dev missing"; fi
if pkg-config --exists libevent; then
    build echo_event $(pkg-config --cflags --libs libevent) || skip[event]="did not build"
else skip[event]="libevent-dev missing"; fi

# Keel comes from the optimised bench build. Until the library has its TCP
# calls the server cannot link: say so and measure the others.
keel_syms="os_startup os_tcp_server_create os_tcp_server_set_local os_tcp_server_bind_accept
  os_tcp_server_open os_tcp_client_bind_read os_tcp_client_bind_write os_tcp_client_bind_disconnect
  os_tcp_client_read os_tcp_client_send os_tcp_client_set_udata os_tcp_client_get_udata"
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKEEL_TESTS=OFF &&
       cmake --build build-bench -j"$JOBS" --target keel; } >"$out/libkeel.build.log" 2>&1; then
    skip[keel]="libkeel did not build (see $out/libkeel.build.log)"
else
    have=$(nm -D --defined-only build-bench/libkeel.so | awk '{print $3}')
    missing=$(for s in $keel_syms; do grep -qx "$s" <<<"$have" || echo -n "$s "; done)
    if [ -n "$missing" ]; then
        skip[keel]="libkeel.so lacks ${missing% }"
    else
        build echo_keel -Iinclude -Lbuild-bench -lkeel -Wl,-rpath,"$PWD/build-bench" ||
            skip[keel]="did not build"
    fi
fi

# Each Keel mode gets a directory of its own: the marker file is read from
# the current directory at start-up.
mkdir -p "$out/keel-at-once" "$out/keel-tick"
echo '{}' >"$out/keel-at-once/select_config.json"
rm -f "$out/keel-tick/select_config.json"

# Server on core 0, load on core 1, when there are two.
pin_server="" pin_load=""
if [ "$(nproc)" -ge 2 ]; then pin_server="taskset -c 0" pin_load="taskset -c 1"; fi
# 10,000 connections on each side need more descriptors than the usual 1024.
ulimit -n "$(ulimit -Hn)"

server_pid=""
start_server() { # server, port
    local dir=. bin
    case $1 in
    epoll) bin=$out/echo_epoll ;;
    uv) bin=$out/echo_uv ;;
    event) bin=$out/echo_event ;;
    keel | keel-quiet) bin=$out/echo_keel dir=$out/keel-at-once ;;
    keel-tick) bin=$out/echo_keel dir=$out/keel-tick ;;
    esac
    bin=$(realpath "$bin")
    # keel-quiet: the library's reports off, to tell their cost from the rest.
    local quiet=""
    [ "$1" = keel-quiet ] && quiet=1
    (cd "$dir" && exec env ${quiet:+ECHO_KEEL_QUIET=1} $pin_server "$bin" "$2") 2>>"$out/$1.log" &
    server_pid=$!
}
stop_server() {
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
}
pick_port() { # below the ephemeral range, so no client socket holds it
    echo $((20000 + RANDOM % 12000))
}

run_case() { # server, mode, connections
    local i
    for ((i = 0; i < REPEAT; i++)); do run_once "$@"; done
}
run_once() {
    local port line
    port=$(pick_port)
    start_server "$1" "$port"
    line=$($pin_load "$out/loadgen" "$2" -p "$port" -c "$3" -d "$DURATION" -w "$WARMUP" -r "$RATE" \
        -P "$server_pid")
    stop_server
    [ -n "$line" ] || line="mode=$2 conns=$3 error=loadgen-died"
    echo "server=$1 $line" | tee -a "$results"
}

: >"$results"
: >"$out/perf.txt"
measured=""
for s in $SERVERS; do
    if [ -n "${skip[$s]:-}" ]; then
        echo "server=$s skipped=\"${skip[$s]}\"" | tee -a "$results"
    else
        measured+=" $s"
        rm -f "$out/$s.log"
    fi
done
# Case by case, every server in turn: on a shared machine other work then
# disturbs all servers alike rather than whichever ran while it was busy.
every() { # mode, connections
    local s
    for s in $measured; do run_case "$s" "$1" "$2"; done
}
for c in 1 100 1000; do every pingpong $c; done
for c in 1 100; do every pump $c; done
for c in 10 1000 10000; do every scale $c; done
# A connection per request costs Keel one report (its peer's end) written to
# the log file: the same load with the reports off, in turn with the others,
# shows what that line costs.
if [[ " $measured " == *" keel "* ]]; then
    rm -f "$out/keel-quiet.log"
    measured+=" keel-quiet"
fi
every connect "$CONNECT_SLOTS"
measured=${measured% keel-quiet}
# Accepting once a second, only the connect rate tells.
if [[ " $measured " == *" keel "* ]]; then
    rm -f "$out/keel-tick.log"
    run_case keel-tick connect "$CONNECT_SLOTS"
fi

# Where Keel's time goes under ping-pong, for the report.
if [[ " $measured " == *" keel "* ]] && command -v perf >/dev/null; then
    port=$(pick_port)
    start_server keel "$port"
    $pin_load "$out/loadgen" pingpong -p "$port" -c 100 -d 6 -w 0 >/dev/null &
    load_pid=$!
    sleep 2
    if perf record -q -F 999 -g -p "$server_pid" -o "$out/perf.data" -- sleep 3 >/dev/null 2>&1; then
        for sort in dso dso,sym; do # first by library, then by symbol
            perf report -q --stdio --no-children --sort $sort --percent-limit 1 -g none -i "$out/perf.data"
            echo
        done >"$out/perf.txt" 2>/dev/null
    fi
    wait "$load_pid"
    stop_server
fi

python3 "$src/report.py" --results "$results" --perf "$out/perf.txt" --data "$out" \
    --load-at-start "$load_at_start" --scale-rate "$RATE" \
    --connect-slots "$CONNECT_SLOTS" --command "\`make bench-net\` (\`bench/net/run.sh\` with DURATION=$DURATION WARMUP=$WARMUP RATE=$RATE CONNECT_SLOTS=$CONNECT_SLOTS REPEAT=$REPEAT)" \
    >"$src/report.md" || exit 1
if command -v gnuplot >/dev/null; then
    gnuplot -e "data='$out'; dest='$src'" "$src/plots.gp" || echo "run.sh: gnuplot failed; report without plots"
fi
echo "run.sh: wrote $src/report.md"
