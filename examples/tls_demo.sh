#!/usr/bin/env bash
# The TLS echo server (tls_echo_server.c) with a certificate made here, and
# OpenSSL's own client verifying it: two lines go there and back. Part of
# make demo, and run by the tests as it stands.
#
#   bash examples/tls_demo.sh [BUILD_DIR]      (default: build)
set -euo pipefail

server=$(realpath "${1:-build}/examples/keel_tls_echo_server")
dir=$(mktemp -d /tmp/keel-tls-demo.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/key.pem" \
  -out "$dir/cert.pem" -days 30 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 2>/dev/null

# A port of its own: another program may hold the first one tried.
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 12000))
  "$server" "$dir/cert.pem" "$dir/key.pem" "$port" >"$dir/server.out" 2>&1 &
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
[ -n "$server_pid" ] || { echo "tls demo: the server did not start" >&2; cat "$dir/server.out" >&2; exit 1; }
cat "$dir/server.out"

# The client keeps its input open until both echoes are back.
echoed=$( (printf 'hello over TLS\nsecond line\n'; sleep 1) |
  timeout 10 openssl s_client -connect "127.0.0.1:$port" -CAfile "$dir/cert.pem" -verify_hostname localhost \
    -verify_return_error -quiet -no_ign_eof 2>"$dir/client.err" || true)
if [ "$echoed" != $'hello over TLS\nsecond line' ]; then
  echo "tls demo: the echo was \"$echoed\"" >&2
  cat "$dir/client.err" >&2
  exit 1
fi
printf '%s\n' "$echoed" | sed 's/^/client: echo of /'
sleep 0.2
cat "$dir/server.out" | tail -n +2
