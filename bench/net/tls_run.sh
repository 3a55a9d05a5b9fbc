#!/usr/bin/env bash
# TLS benchmarks: tls_loadgen against three TLS 1.3 echo servers (raw epoll
# with OpenSSL, libevent's OpenSSL bufferevents, Keel), then
# bench/net/tls_report.md. Figures only: a run that is slow or fails leaves
# its cell empty, never a failure.
#
#   make bench-tls                       everything, two to four minutes
#   DURATION=5 REPEAT=3 SERVERS="epoll keel" bash bench/net/tls_run.sh
#
# Each case gets a fresh server, so that its CPU figure is its own. Where
# Keel misses a goal, its server is profiled under that case.
set -uo pipefail
cd "$(dirname "$0")/../.."
src=bench/net
out=build-bench/net
tls=$out/tls
results=$tls/results.txt
DURATION=${DURATION:-3}
WARMUP=${WARMUP:-1}
HANDSHAKE_SLOTS=${HANDSHAKE_SLOTS:-64}
SERVERS=${SERVERS:-"epoll event keel"}
REPEAT=${REPEAT:-1} # runs per case; the report keeps the fastest (least disturbed)
QUIET_BUDGET=${QUIET_BUDGET:-90} # seconds the whole run may wait for other work to pause
JOBS=${JOBS:-$(nproc)}
CC=${CC:-cc}
CFLAGS="-O2 -g -std=gnu11 -Wall -Wextra"

bash bench/setup.sh || echo "tls_run.sh: bench/setup.sh failed; servers whose library is missing are skipped"
mkdir -p "$tls/keel"
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
# What else had the processors when the run began: a shared machine's figures
# are read against it.
busy_at_start=$(ps -eo pcpu=,comm= --sort=-pcpu | awk '$1 >= 5 {printf "%s%s %s%%", n++ ? ", " : "", $2, $1}')

# One certificate for every server: EC P-256, self-signed, kept between runs.
cert=$tls/cert.pem key=$tls/key.pem
if [ ! -s "$cert" ] || [ ! -s "$key" ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$key" -out "$cert" \
        -days 3650 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
        >"$tls/cert.log" 2>&1 || { echo "tls_run.sh: no certificate (see $tls/cert.log)"; exit 1; }
fi
cert=$(realpath "$cert") key=$(realpath "$key")

build() { # name, extra flags
    local name=$1
    shift
    $CC $CFLAGS -o "$out/$name" "$src/$name.c" "$@" 2>"$tls/$name.build.log" ||
        { echo "tls_run.sh: $name did not build (see $tls/$name.build.log)"; return 1; }
}
ssl_flags=$(pkg-config --cflags --libs openssl 2>/dev/null || echo "-lssl -lcrypto")
build tls_loadgen $ssl_flags || exit 1
declare -A skip # server -> why it is not measured
build tls_echo_epoll $ssl_flags || skip[epoll]="did not build"
if pkg-config --exists libevent_openssl; then
    build tls_echo_event $(pkg-config --cflags --libs libevent_openssl libevent) $ssl_flags ||
        skip[event]="did not build"
else skip[event]="libevent_openssl missing (libevent-dev)"; fi

# Keel comes from the optimised bench build, as in run.sh.
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKEEL_TESTS=OFF -DKEEL_BENCH=ON &&
       cmake --build build-bench -j"$JOBS" --target keel; } >"$tls/libkeel.build.log" 2>&1; then
    skip[keel]="libkeel did not build (see $tls/libkeel.build.log)"
elif ! nm -D --defined-only build-bench/libkeel.so | awk '{print $3}' | grep -qx os_tcp_server_set_tls; then
    skip[keel]="libkeel.so lacks os_tcp_server_set_tls"
else
    build echo_keel -Iinclude -Lbuild-bench -lkeel -Wl,-rpath,"$PWD/build-bench" || skip[keel]="did not build"
fi
# Keel accepts at once only with the marker file in its current directory.
echo '{}' >"$tls/keel/select_config.json"

pin_server="" pin_load=""
if [ "$(nproc)" -ge 2 ]; then pin_server="taskset -c 0" pin_load="taskset -c 1"; fi
ulimit -n "$(ulimit -Hn)"

server_pid=""
start_server() { # server, port
    local dir=. bin=$out/tls_echo_$1
    [ "$1" = keel ] && dir=$tls/keel bin=$out/echo_keel  # the plain echo server, given a certificate
    bin=$(realpath "$bin")
    (cd "$dir" && exec $pin_server "$bin" "$2" "$cert" "$key") 2>>"$tls/$1.log" &
    server_pid=$!
}
stop_server() {
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
}
pick_port() { # below the ephemeral range, so no client socket holds it
    echo $((20000 + RANDOM % 12000))
}

# Busy share of all processors (percent) over half a second, read from
# /proc/stat while none of ours runs.
busy_now() {
    local a b
    a=$(awk '/^cpu /{print $2+$3+$4+$7+$8+$9, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat)
    sleep 0.5
    b=$(awk '/^cpu /{print $2+$3+$4+$7+$8+$9, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat)
    awk -v a="$a" -v b="$b" 'BEGIN{split(a,x," "); split(b,y," "); d=y[2]-x[2]; print (d > 0 ? int(100 * (y[1] - x[1]) / d) : 0)}'
}
# Other developers build on this machine: a case waits (within the run's
# budget) until their work pauses, and its line says how busy it found the
# machine, so that the report can tell a quiet figure from a crowded one.
waited=0 busy=0
wait_quiet() { # sets busy
    local start=$SECONDS
    busy=$(busy_now)
    while [ "$busy" -ge 15 ] && [ $((waited + SECONDS - start)) -lt "$QUIET_BUDGET" ]; do
        sleep 1
        busy=$(busy_now)
    done
    waited=$((waited + SECONDS - start))
}

run_once() { # server, mode, connections
    local port line
    wait_quiet
    port=$(pick_port)
    start_server "$1" "$port"
    line=$($pin_load "$out/tls_loadgen" "$2" -p "$port" -c "$3" -d "$DURATION" -w "$WARMUP" -P "$server_pid")
    stop_server
    [ -n "$line" ] || line="mode=$2 conns=$3 error=loadgen-died"
    echo "server=$1 $line busy_before=$busy" | tee -a "$results"
}

: >"$results"
measured=""
for s in $SERVERS; do
    if [ -n "${skip[$s]:-}" ]; then
        echo "server=$s skipped=\"${skip[$s]}\"" | tee -a "$results"
    else
        measured+=" $s"
        rm -f "$tls/$s.log"
    fi
done
# Case by case, every server in turn, the repeats in rounds: on a shared
# machine other work then disturbs all servers alike.
every() { # mode, connections
    local i s
    for ((i = 0; i < REPEAT; i++)); do
        for s in $measured; do run_once "$s" "$1" "$2"; done
    done
}
every pingpong 1
every pingpong 100
every pump 1
every pump 100
every handshake "$HANDSHAKE_SLOTS"
load_at_end=$(cut -d' ' -f1-3 /proc/loadavg)
echo "tls_run.sh: waited ${waited}s in all for other work to pause"

report() {
    python3 "$src/tls_report.py" --results "$results" --profiles "$tls" --load-at-start "$load_at_start" \
        --load-at-end "$load_at_end" --waited "$waited" --busy-at-start "$busy_at_start" --handshake-slots "$HANDSHAKE_SLOTS" \
        --command "\`make bench-tls\` (\`bench/net/tls_run.sh\` with DURATION=$DURATION WARMUP=$WARMUP HANDSHAKE_SLOTS=$HANDSHAKE_SLOTS REPEAT=$REPEAT)" \
        "$@"
}

# Where Keel's time goes in each case where it missed a goal.
rm -f "$tls"/perf-*.txt
if [[ " $measured " == *" keel "* ]] && command -v perf >/dev/null; then
    report --missed | while read -r mode conns; do
        port=$(pick_port)
        start_server keel "$port"
        $pin_load "$out/tls_loadgen" "$mode" -p "$port" -c "$conns" -d 6 -w 0 >/dev/null &
        load_pid=$!
        sleep 2
        # DWARF call chains: OpenSSL is built without frame pointers.
        if perf record -q -F 499 --call-graph dwarf,16384 -p "$server_pid" -o "$tls/perf.data" -- sleep 3 \
            >/dev/null 2>&1; then
            { # self time by library, then by symbol; then the user-space time spent in
              # and under each function, which places OpenSSL's unnamed internals
              # under the calls that led there
                for sort in dso dso,sym; do
                    perf report -q --stdio --no-children --sort $sort --percent-limit 1 -g none -i "$tls/perf.data"
                    echo
                done
                perf report -q --stdio --children --sort dso,sym --percent-limit 4 -g none -i "$tls/perf.data" |
                    grep -v -e kernel.kallsyms -e '] 0x0000'
            } >"$tls/perf-$mode-$conns.txt" 2>/dev/null
        fi
        wait "$load_pid"
        stop_server
    done
fi

report >"$src/tls_report.md" || exit 1
echo "tls_run.sh: wrote $src/tls_report.md"
