#!/usr/bin/env bash
# The stress program's forms under injected faults: libfiu's POSIX preload
# fails 1 in 100 of the system calls (posix/io/*) and of the allocations
# (libc/mm/*, posix/mm/*) that the library makes on its own threads and in the
# calls that carry the load; the program's own peers and checks are spared
# (tests/stress/fault.h). Every run must end by itself within its time limit
# and without a signal, with every check of its form held: no byte lost
# unreported or changed, no descriptor left over, no busy thread once idle.
# A run that the library ends on purpose, with exit status 1 right after a
# fatal report (an allocation of a record it cannot do without), is counted
# apart and passes.
#
#   scripts/fault_inject.sh [build dir]     (default: build)
#
# FAULT_SEEDS (default "1 2") runs each form and kind once per seed;
# FAULT_KINDS (default "io memory") picks the kinds of faults;
# FAULT_SECONDS (default 5) is the length of the TCP and UDP runs;
# FAULT_LIMIT (default 120) the seconds after which a run counts as hung.
set -uo pipefail

build=${1:-build}
stress=$build/tests/keel_stress
seeds=${FAULT_SEEDS:-1 2}
kinds=${FAULT_KINDS:-io memory}
seconds=${FAULT_SECONDS:-5}
limit=${FAULT_LIMIT:-120}
command -v fiu-run >/dev/null || { echo "fault: fiu-run is missing (make setup)"; exit 1; }
[ -x "$stress" ] || { echo "fault: no $stress (build the keel_stress target)"; exit 1; }

declare -A args=([tcp]="tcp $seconds 200" [udp]="udp $seconds" [serial]="serial 3" [log]="log 8 100000")
declare -A points=([io]="posix/io/*=0.01" [memory]="libc/mm/*=0.01 posix/mm/*=0.01")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
runs=0 passed=0 by_design=0 failed=0
start=$SECONDS

for form in tcp udp serial log; do
  for kind in $kinds; do
    for seed in $seeds; do
      runs=$((runs + 1))
      # The preload's remote control (a named pipe and a thread reading it)
      # is not wanted: -f ''. The subshell keeps the shell's own note of a
      # run that died of a signal out of the output; the verdict says it.
      (KEEL_STRESS_FAULTS=${points[$kind]} KEEL_STRESS_SEED=$seed \
        timeout -k 5 "$limit" fiu-run -x -f '' "$stress" ${args[$form]} >"$out" 2>&1; exit $?) 2>/dev/null
      rc=$?
      counts=$(grep -m1 '^faults: ' "$out" | sed 's/^faults: [a-z]*: //')
      if [ $rc -eq 0 ]; then
        verdict="passed"
        passed=$((passed + 1))
      elif [ $rc -eq 1 ] && grep -q '\] \[fatal\] ' "$out" && ! grep -q '^stress: FAILED' "$out"; then
        verdict="ended by the library on purpose: $(grep -m1 '\[fatal\]' "$out" | sed 's/.*file: //')"
        by_design=$((by_design + 1))
      else
        if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
          verdict="FAILED: hung, killed after $limit s"
        elif [ $rc -gt 128 ]; then
          verdict="FAILED: killed by signal $((rc - 128)) ($(kill -l $((rc - 128)) 2>/dev/null))"
        else
          verdict="FAILED: exit status $rc"
        fi
        failed=$((failed + 1))
      fi
      echo "fault: $form, $kind faults, seed $seed: $verdict"
      echo "fault:   ${counts:-no count (the run ended before its exit handlers)}"
      if [[ $verdict == FAILED* ]]; then
        grep -v '^faults: ' "$out" | tail -n 8 | sed 's/^/fault:   | /'
        echo "fault:   again: KEEL_STRESS_FAULTS='${points[$kind]}' KEEL_STRESS_SEED=$seed fiu-run -x -f '' $stress ${args[$form]}"
      fi
    done
  done
done

echo "fault: $runs runs in $((SECONDS - start)) s: $passed passed, $by_design ended by the library on purpose, $failed failed"
[ $failed -eq 0 ]
