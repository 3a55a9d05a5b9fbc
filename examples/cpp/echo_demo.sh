#!/usr/bin/env bash
# The C++ face's two echo servers (echo_server.cpp with callbacks, echo_server_co.cpp with coroutines): each is
# started on a port of its own, two clients send lines and a 64 KiB block at once, and every byte must come back.
# Part of make demo, and run by the tests as it stands.
#
#   bash examples/cpp/echo_demo.sh [BUILD_DIR]      (default: build)
set -euo pipefail

build=$(realpath "${1:-build}")
dir=$(mktemp -d /tmp/keel-cpp-echo.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
head -c 65536 /dev/urandom >"$dir/block"

for program in keel_cpp_echo_server keel_cpp_echo_server_co; do
  for _ in 1 2 3 4 5; do  # a port of its own: another program may hold the first one tried
    port=$((20000 + RANDOM % 12000))
    "$build/examples/$program" "$port" >"$dir/server.out" 2>"$dir/server.err" &
    server_pid=$!
    for _ in $(seq 100); do
      grep -q "listening" "$dir/server.out" && break
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.05
    done
    grep -q "listening" "$dir/server.out" && break
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  done
  [ -n "$server_pid" ] || { echo "cpp echo demo: $program did not start" >&2; cat "$dir/server.err" >&2; exit 1; }
  echo "$program: $(cat "$dir/server.out")"
  exec 3<>"/dev/tcp/127.0.0.1/$port" 4<>"/dev/tcp/127.0.0.1/$port"
  printf 'hello from C++\n' >&3
  cat "$dir/block" >&4 &
  writer=$!
  IFS= read -r -t 5 line <&3 || true
  timeout 10 head -c 65536 <&4 >"$dir/back" || true
  wait "$writer"
  exec 3>&- 4>&-
  if [ "$line" != "hello from C++" ] || ! cmp -s "$dir/block" "$dir/back"; then
    echo "cpp echo demo: $program echoed \"$line\" and $(stat -c %s "$dir/back") of 65536 bytes" >&2
    exit 1
  fi
  echo "$program: the line and 65536 bytes came back whole"
  # The server has seen both ends (its connections are over) before it is stopped.
  for _ in $(seq 100); do
    [ -z "$(ss -Htn "( sport = :$port )")" ] && break
    sleep 0.05
  done
  kill -INT "$server_pid"
  wait "$server_pid" || { echo "cpp echo demo: $program did not end cleanly on SIGINT" >&2; exit 1; }
  server_pid=""
done
