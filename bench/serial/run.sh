#!/usr/bin/env bash
# Serial benchmarks: Keel's serial client next to libserialport on
# pseudo-terminal pairs, one port and eight, for throughput, CPU per MiB and
# latency; then bench/serial/report.md and its plot. Figures with goals: a
# missed goal or a lost byte is marked in the report, never a failure here.
#
#   make bench-serial                      everything, three to four minutes
#   REPEAT=5 DURATION=2 SAMPLES=3000 bash bench/serial/run.sh
#
# Each case is a fresh process with fresh terminals, so its CPU time is its own.
set -uo pipefail
cd "$(dirname "$0")/../.."
src=bench/serial
out=build-bench/serial
results=$out/results.txt
DURATION=${DURATION:-3}    # seconds of writing per throughput case
SAMPLES=${SAMPLES:-2000}   # messages per port per latency case
PAUSE_US=${PAUSE_US:-1000} # between two messages
REPEAT=${REPEAT:-5}        # rounds; the report keeps each figure's best round
JOBS=${JOBS:-$(nproc)}
CC=${CC:-cc}
CFLAGS="-O2 -g -std=gnu11 -Wall -Wextra"
BACKENDS="keel sp-read sp-wait"

bash bench/setup.sh || echo "run.sh: bench/setup.sh failed; a backend whose library is missing is skipped"
mkdir -p "$out"
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

declare -A skip # backend -> why it is not measured
build() { # program, extra flags
    local name=$1
    shift
    $CC $CFLAGS -o "$out/$name" "$src/serial_bench.c" "$@" 2>"$out/$name.build.log" ||
        { echo "run.sh: $name did not build (see $out/$name.build.log)"; return 1; }
}
# Keel comes from the optimised bench build, as for the network benchmark.
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKEEL_TESTS=OFF &&
       cmake --build build-bench -j"$JOBS" --target keel; } >"$out/libkeel.build.log" 2>&1; then
    skip[keel]="libkeel did not build (see $out/libkeel.build.log)"
else
    build serial_bench_keel -DHAVE_KEEL -Iinclude -Lbuild-bench -lkeel -Wl,-rpath,"$PWD/build-bench" -lutil -lpthread ||
        skip[keel]="did not build"
fi
# The peer opens a pseudo-terminal only through a sysfs entry that its
# program fakes in a mount namespace of its own, which takes root.
if ! pkg-config --exists libserialport; then
    skip[sp-read]="libserialport-dev missing" skip[sp-wait]="libserialport-dev missing"
elif [ "$(id -u)" -ne 0 ]; then
    skip[sp-read]="needs root" skip[sp-wait]="needs root"
elif ! build serial_bench_sp -DHAVE_SP $(pkg-config --cflags --libs libserialport) -ldl -lutil -lpthread; then
    skip[sp-read]="did not build" skip[sp-wait]="did not build"
fi

# Reader on core 0, device on core 1, when there are two: the device then
# writes while the reader reads, as a real device would.
pin_reader="" writer_cpu=-1
if [ "$(nproc)" -ge 2 ]; then pin_reader="taskset -c 0" writer_cpu=1; fi

program() { [ "$1" = keel ] && echo "$out/serial_bench_keel" || echo "$out/serial_bench_sp"; }
run_once() { # round, backend, mode, ports
    local line
    line=$($pin_reader "$(program "$2")" "$2" "$3" -n "$4" -d "$DURATION" -s "$SAMPLES" -p "$PAUSE_US" \
        -w "$writer_cpu" -o "$out/lat-$2-$4-$1.txt" 2>>"$out/$2.log")
    [ -n "$line" ] || line="backend=$2 mode=$3 ports=$4 error=died"
    echo "round=$1 $line" | tee -a "$results"
}

: >"$results"
measured=""
for b in $BACKENDS; do
    if [ -n "${skip[$b]:-}" ]; then
        echo "backend=$b skipped=\"${skip[$b]}\"" | tee -a "$results"
    else
        measured+=" $b"
        rm -f "$out/$b.log"
    fi
done
rm -f "$out"/lat-*.txt
# Round by round, case by case, every backend in turn: on a shared machine
# other work then disturbs all backends alike.
for ((r = 1; r <= REPEAT; r++)); do
    for c in "throughput 1" "throughput 8" "latency 1" "latency 8"; do
        for b in $measured; do run_once "$r" "$b" $c; done
    done
done

# Where the time goes in the one-port cases: a profile of the reading
# process (all its threads, not the device process) and its system calls.
# Keel's always, and the blocking-read peer's beside it.
: >"$out/profile.txt"
if command -v perf >/dev/null; then
    for b in $measured; do
        [ "$b" = sp-wait ] && continue
        for mode in throughput latency; do
            # A message costs the reader a few microseconds in a pause of a
            # millisecond: the latency profile takes ten times the messages,
            # ten times closer, and samples five times as often, to have
            # enough samples of the path of one message.
            rate=999 args=(-s "$SAMPLES" -p "$PAUSE_US")
            [ "$mode" = latency ] && rate=4999 args=(-s $((SAMPLES * 10)) -p $((PAUSE_US / 10)))
            line=$(perf record -q -F $rate -g -o "$out/perf-$b-$mode.data" -- $pin_reader "$(program "$b")" "$b" "$mode" \
                -n 1 -d "$DURATION" "${args[@]}" -w "$writer_cpu" 2>>"$out/$b.log")
            pid=$(grep -o 'pid=[0-9]*' <<<"$line" | cut -d= -f2)
            [ -n "$pid" ] || continue
            # The samples with their call chains; report.py keeps the
            # reading process's and sorts them.
            perf script -F pid,tid,ip,sym,dso -i "$out/perf-$b-$mode.data" >"$out/perf-$b-$mode.txt" 2>/dev/null
            echo "=== profile backend=$b mode=$mode $line" >>"$out/profile.txt"
            echo "=== samples backend=$b mode=$mode $out/perf-$b-$mode.txt" >>"$out/profile.txt"
            # System calls of the reading side, counted (the device process
            # makes none of these but its one read of the start signal).
            calls="read ioctl ppoll pselect6 futex"
            events=$(for s in $calls; do echo -n "syscalls:sys_enter_$s,"; done)
            perf stat -x, -e "${events%,}" -o "$out/stat.tmp" -- $pin_reader "$(program "$b")" "$b" "$mode" \
                -n 1 -d "$DURATION" "${args[@]}" -w "$writer_cpu" >"$out/stat.line" 2>>"$out/$b.log"
            echo "=== syscalls backend=$b mode=$mode $(cat "$out/stat.line")" >>"$out/profile.txt"
            grep sys_enter "$out/stat.tmp" | cut -d, -f1,3 >>"$out/profile.txt"
        done
    done
    rm -f "$out/stat.tmp" "$out/stat.line"
fi

python3 "$src/report.py" --results "$results" --profile "$out/profile.txt" --data "$out" \
    --load-at-start "$load_at_start" --load-at-end "$(cut -d' ' -f1-3 /proc/loadavg)" \
    --command "\`make bench-serial\` (\`bench/serial/run.sh\` with DURATION=$DURATION SAMPLES=$SAMPLES PAUSE_US=$PAUSE_US REPEAT=$REPEAT)" \
    >"$src/report.md" || exit 1
if command -v gnuplot >/dev/null; then
    gnuplot -e "data='$out'; dest='$src'" "$src/plots.gp" || echo "run.sh: gnuplot failed; report without plots"
fi
echo "run.sh: wrote $src/report.md"
