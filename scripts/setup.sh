#!/usr/bin/env bash
# Installs, from Debian packages, whatever of Keel's build and test needs is
# missing. Quick when everything is present: it only asks dpkg.
set -euo pipefail

packages=(cmake make g++ pkg-config binutils
          libgtest-dev libgmock-dev libbenchmark-dev
          libxml2-dev uthash-dev libssl-dev libc-ares-dev socat
          dnsmasq-base   # the name server of the resolver's tests: the program alone, no service
          openssl curl   # the TLS tests' peers
          libmodbus-dev  # the master that tries the Modbus RTU example (examples/cpp/modbus_demo.sh)
          clang libclang-rt-14-dev
          dpkg-dev file   # make package: dpkg-shlibdeps and file, run by cpack
          fiu-utils libfiu-dev   # make test-fault: fiu-run, its preload, and libfiu
          g++-mingw-w64-x86-64-posix wine64 googletest)  # make windows, and its tests under wine

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
