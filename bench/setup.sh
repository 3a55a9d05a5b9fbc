#!/usr/bin/env bash
# Installs the peers the benchmarks compare against (Debian packages). They are
# needed by the benchmarks only: nothing of the library or its tests uses them.
set -euo pipefail
# libevent-dev brings libevent_openssl too; openssl makes the TLS benchmarks'
# certificate.
packages=(libuv1-dev libevent-dev libspdlog-dev libserialport-dev pkg-config gnuplot-nox linux-perf python3 openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
