#!/usr/bin/env bash
# The check that Keel works as an installed package: installs the .deb files
# that `make package` left in BUILD_DIR, builds a C program with pkg-config
# and a C++ program with find_package(keel) against that install only, runs
# both, and removes the packages again.
#
#   tests/consumer/run.sh BUILD_DIR
#
# The packages go into the system (dpkg -i) when running as root on a machine
# that has no Keel of its own in /usr; the CI machine is such a one. Otherwise
# (not root, or a Keel already there, which must not be overwritten and then
# removed) the same tree is installed into a staging prefix with
# `cmake --install --prefix` instead. KEEL_PACKAGE_TEST=deb or =stage forces
# one of the two.
set -euo pipefail

build=$(realpath "${1:?usage: run.sh BUILD_DIR}")
here=$(realpath "$(dirname "$0")")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
runtime_deb="$build/libkeel0_${version}_amd64.deb"
dev_deb="$build/libkeel-dev_${version}_amd64.deb"
work=$(mktemp -d /tmp/keel-consumer.XXXXXX)
installed=()

fail() { echo "test-package: $*" >&2; exit 1; }

cleanup() {
  local rc=$?
  if [ ${#installed[@]} -gt 0 ]; then
    echo "test-package: removing ${installed[*]}"
    # Purged, not only removed: dpkg keeps no record of them afterwards.
    dpkg --purge "${installed[@]}" >/dev/null || rc=1
    for p in "${installed[@]}"; do
      if dpkg-query -W "$p" >/dev/null 2>&1; then
        echo "test-package: dpkg still lists $p" >&2
        rc=1
      fi
    done
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

[ -f "$runtime_deb" ] && [ -f "$dev_deb" ] || fail "no packages in $build: run make package first"

# What the packages declare and hold.
depends_runtime=$(dpkg-deb -f "$runtime_deb" Depends)
depends_dev=$(dpkg-deb -f "$dev_deb" Depends)
echo "test-package: libkeel0 depends on: $depends_runtime"
echo "test-package: libkeel-dev depends on: $depends_dev"
for needed in libxml2 libssl3 libc6; do
  grep -q "\b$needed\b" <<<"$depends_runtime" || fail "libkeel0 does not declare $needed"
done
grep -qx "libkeel0 (= $version)" <<<"$depends_dev" || fail "libkeel-dev does not depend on libkeel0 (= $version)"
runtime_files=$(dpkg-deb -c "$runtime_deb" | awk '{print $6}')
dev_files=$(dpkg-deb -c "$dev_deb" | awk '{print $6}')
for f in libkeel.so.0 "libkeel.so.$version"; do
  grep -q "/$f\$" <<<"$runtime_files" || fail "libkeel0 lacks $f"
done
for f in include/keel.h include/keel/os_net.h /libkeel.so pkgconfig/keel.pc cmake/keel/keelConfig.cmake \
         cmake/keel/keelConfigVersion.cmake cmake/keel/keelTargets.cmake; do
  grep -q "$f\$" <<<"$dev_files" || fail "libkeel-dev lacks $f"
done
if grep -q "\.a$\|keel_static" <<<"$runtime_files$dev_files"; then fail "a static library is packaged"; fi

mode=${KEEL_PACKAGE_TEST:-auto}
if [ "$mode" = auto ]; then
  mode=deb
  if [ "$(id -u)" -ne 0 ]; then
    echo "test-package: not root: testing a staging install instead of the packages"
    mode=stage
  elif dpkg-query -W libkeel0 >/dev/null 2>&1 || dpkg-query -W libkeel-dev >/dev/null 2>&1 ||
       compgen -G "/usr/include/keel.h" >/dev/null || compgen -G "/usr/lib/*/libkeel.so*" >/dev/null ||
       compgen -G "/usr/local/lib/libkeel.so*" >/dev/null; then
    echo "test-package: this machine has a Keel installed already; leaving it alone and testing a staging install"
    mode=stage
  fi
fi

if [ "$mode" = deb ]; then
  echo "test-package: dpkg -i $(basename "$runtime_deb") $(basename "$dev_deb")"
  installed=(libkeel-dev libkeel0)
  dpkg -i "$runtime_deb" "$dev_deb" >/dev/null
  prefix=/usr
  libdir=$(dirname "$(dpkg -L libkeel0 | grep '/libkeel.so.0$')")
  export PKG_CONFIG_PATH=
  cmake_hint=()
else
  prefix="$work/stage"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  libdir=$(dirname "$(find "$prefix" -name libkeel.so.0)")
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  export LD_LIBRARY_PATH="$libdir"
  cmake_hint=(-DCMAKE_PREFIX_PATH="$prefix")
fi

# The consumers are copied away from the checkout, so nothing but the install
# can serve their includes and links.
cp "$here/consumer.c" "$here/consumer.cc" "$here/CMakeLists.txt" "$work/"
cd "$work"

flags=$(pkg-config --cflags --libs keel)
echo "test-package: pkg-config --cflags --libs keel: $flags"
[ "$(pkg-config --modversion keel)" = "$version" ] || fail "pkg-config reports another version"
# shellcheck disable=SC2086 # the flags are words
cc -std=c11 -pedantic-errors -Wall -Wextra -Werror consumer.c $flags -o consumer_c

cmake -S . -B cxx -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "${cmake_hint[@]}" >cmake.log ||
  { cat cmake.log; fail "find_package(keel) failed"; }
grep "keel .* found in" cmake.log | sed 's/^-- /test-package: /'
grep -q "found in $prefix/" cmake.log || fail "find_package(keel) found a Keel outside $prefix"
cmake --build cxx >build.log || { cat build.log; fail "the C++ consumer does not build"; }

for program in ./consumer_c ./cxx/consumer_cxx; do
  loaded=$(ldd "$program" | awk '$1 == "libkeel.so.0" {print $3}')
  [ "$(realpath "$loaded")" = "$(realpath "$libdir/libkeel.so.0")" ] ||
    fail "$program loads libkeel.so.0 from ${loaded:-nowhere}, not from $libdir"
  timeout 60 "$program" || fail "$program failed"
done
echo "test-package: both consumers built and ran against the $mode install"

# The packages for ARM boards, from the same make package: each declares its
# architecture and holds a library for it, and the C consumer, built with the
# cross compiler against nothing but the unpacked packages, runs under qemu.
for target in aarch64-linux-gnu:arm64:aarch64 arm-linux-gnueabihf:armhf:arm; do
  IFS=: read -r triple arch qemu <<<"$target"
  dir="$build-$triple"
  debs=("$dir/libkeel0_${version}_$arch.deb" "$dir/libkeel-dev_${version}_$arch.deb")
  for deb in "${debs[@]}"; do
    [ -f "$deb" ] || fail "no $(basename "$deb"): make package builds it"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$(basename "$deb") is not for $arch"
  done
  unpacked="$work/$arch"
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$unpacked"; done
  lib="$unpacked/usr/lib/$triple"
  file -L "$lib/libkeel.so.0" | grep -q "ARM" || fail "the $arch library is not for ARM: $(file -L "$lib/libkeel.so.0")"
  "$triple-gcc" -std=c11 -pedantic-errors -Wall -Wextra -Werror "$here/consumer.c" -I"$unpacked/usr/include" \
    -L"$lib" -lkeel -o "consumer_$arch" || fail "the C consumer does not build against the $arch packages"
  LD_LIBRARY_PATH="$lib" timeout 120 "qemu-$qemu-static" "./consumer_$arch" || fail "the $arch consumer failed"
done
echo "test-package: the arm64 and armhf packages hold ARM libraries, and a program built against them ran"
