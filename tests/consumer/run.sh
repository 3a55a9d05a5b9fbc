#!/usr/bin/env bash
# The check that Keel works as an installed package: what the .deb files that
# `make package` left in BUILD_DIR (and BUILD_DIR-<ARM triple>) declare and
# hold; a C program built with pkg-config and a C++ one with find_package(keel)
# against that install only run; the C one, cross-built against the unpacked
# ARM packages, runs under qemu. The Windows zip in WINDOWS_BUILD_DIR, unpacked
# into a scratch folder, alone serves the C consumer cross-built with mingw-w64
# and the C++ one through find_package(keel), which run under wine in a prefix
# made for the test.   Usage: tests/consumer/run.sh BUILD_DIR WINDOWS_BUILD_DIR
#
# The packages go into the system (dpkg -i, purged at the end) when running as
# root on a machine with no Keel of its own (the CI machine); otherwise (a Keel
# there must not be overwritten and then removed) the same tree is installed
# into a staging prefix. KEEL_PACKAGE_TEST=deb or =stage forces one of the two.
set -euo pipefail

build=$(realpath "${1:?usage: run.sh BUILD_DIR WINDOWS_BUILD_DIR}")
win_build=$(realpath "${2:?usage: run.sh BUILD_DIR WINDOWS_BUILD_DIR}")
here=$(realpath "$(dirname "$0")")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d /tmp/keel-consumer.XXXXXX)
installed=()

fail() { echo "test-package: $*" >&2; exit 1; }

cleanup() {
  local rc=$?
  # Purged, not only removed: dpkg keeps no record of them afterwards.
  if [ ${#installed[@]} -gt 0 ] && ! dpkg --purge "${installed[@]}" >/dev/null; then rc=1; fi
  for p in "${installed[@]}"; do
    if dpkg-query -W "$p" >/dev/null 2>&1; then echo "test-package: dpkg still lists $p" >&2; rc=1; fi
  done
  if [ -d "$work/wine" ]; then WINEPREFIX=$work/wine /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

# What the packages declare and hold, for this machine and for the ARM boards
# (those are unpacked for the cross-built consumer at the end).
arm=(arm64:aarch64-linux-gnu armhf:arm-linux-gnueabihf)
for target in amd64: "${arm[@]}"; do
  IFS=: read -r arch triple <<<"$target"
  runtime_deb=$build${triple:+-$triple}/libkeel0_${version}_$arch.deb
  dev_deb=$build${triple:+-$triple}/libkeel-dev_${version}_$arch.deb
  for deb in "$runtime_deb" "$dev_deb"; do
    [ -f "$deb" ] || fail "no $deb: run make package first"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$(basename "$deb") is not for $arch"
  done
  depends=$(dpkg-deb -f "$runtime_deb" Depends)
  for needed in libxml2 libssl3 libc6; do
    grep -q "\b$needed\b" <<<"$depends" || fail "libkeel0 ($arch) does not declare $needed: $depends"
  done
  [ "$(dpkg-deb -f "$dev_deb" Depends)" = "libkeel0 (= $version)" ] ||
    fail "libkeel-dev ($arch) does not depend on libkeel0 (= $version) alone"
  runtime_files=$(dpkg-deb -c "$runtime_deb" | awk '{print $6}')
  dev_files=$(dpkg-deb -c "$dev_deb" | awk '{print $6}')
  for f in /libkeel.so.0 "/libkeel.so.$version"; do
    grep -q "$f\$" <<<"$runtime_files" || fail "libkeel0 ($arch) lacks $f"
  done
  for f in include/keel.h include/keel.hpp include/keel/os_net.h /libkeel.so pkgconfig/keel.pc cmake/keel/keelConfig.cmake \
           cmake/keel/keelConfigVersion.cmake cmake/keel/keelTargets.cmake; do
    grep -q "$f\$" <<<"$dev_files" || fail "libkeel-dev ($arch) lacks $f"
  done
  if grep -q "\.a$\|keel_static" <<<"$runtime_files$dev_files"; then fail "a static library is packaged ($arch)"; fi
  [ -z "$triple" ] || { dpkg-deb -x "$runtime_deb" "$work/$arch" && dpkg-deb -x "$dev_deb" "$work/$arch"; }
done

if [ "${KEEL_PACKAGE_TEST:-auto}" != auto ]; then
  mode=$KEEL_PACKAGE_TEST
elif [ "$(id -u)" -ne 0 ] || { dpkg-query -W libkeel0 || dpkg-query -W libkeel-dev || compgen -G /usr/include/keel.h ||
       compgen -G "/usr/lib/*/libkeel.so*" || compgen -G "/usr/local/lib/libkeel.so*"; } >/dev/null 2>&1; then
  echo "test-package: not root, or a Keel installed already (left alone): testing a staging install"
  mode=stage
else
  mode=deb
fi
if [ "$mode" = deb ]; then
  installed=(libkeel-dev libkeel0)
  dpkg -i "$build/libkeel0_${version}_amd64.deb" "$build/libkeel-dev_${version}_amd64.deb" >/dev/null
  prefix=/usr
  libdir=$(dirname "$(dpkg -L libkeel0 | grep '/libkeel.so.0$')")
  export PKG_CONFIG_PATH=
  cmake_hint=()
else
  prefix=$work/stage
  cmake --install "$build" --prefix "$prefix" >/dev/null
  libdir=$(dirname "$(find "$prefix" -name libkeel.so.0)")
  export PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir
  cmake_hint=(-DCMAKE_PREFIX_PATH="$prefix")
fi

# The consumers are copied away from the checkout, so nothing but the install
# can serve their includes and links.
cp "$here/consumer.c" "$here/consumer.cc" "$here/CMakeLists.txt" "$work/"
cd "$work"
flags=$(pkg-config --cflags --libs keel)
[ "$(pkg-config --modversion keel)" = "$version" ] || fail "pkg-config reports another version"
# shellcheck disable=SC2086 # the flags are words
cc -std=c11 -pedantic-errors -Wall -Wextra -Werror consumer.c $flags -o consumer_c
cmake -S . -B cxx -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "${cmake_hint[@]}" >cmake.log ||
  { cat cmake.log; fail "find_package(keel) failed"; }
grep -q "found in $prefix/" cmake.log || fail "find_package(keel) found a Keel outside $prefix: $(grep 'found in' cmake.log)"
cmake --build cxx >build.log || { cat build.log; fail "the C++ consumer does not build"; }
for program in ./consumer_c ./cxx/consumer_cxx; do
  loaded=$(ldd "$program" | awk '$1 == "libkeel.so.0" {print $3}')
  [ "$(realpath "$loaded")" = "$(realpath "$libdir/libkeel.so.0")" ] ||
    fail "$program loads libkeel.so.0 from ${loaded:-nowhere}, not from $libdir"
  timeout 60 "$program" || fail "$program failed"
done
echo "test-package: both consumers built and ran against the $mode install"

for target in "${arm[@]}"; do
  IFS=: read -r arch triple <<<"$target"
  lib=$work/$arch/usr/lib/$triple
  file -L "$lib/libkeel.so.0" | grep -q ARM || fail "the $arch library is not for ARM: $(file -L "$lib/libkeel.so.0")"
  "$triple-gcc" -std=c11 -pedantic-errors -Wall -Wextra -Werror consumer.c -I"$work/$arch/usr/include" -L"$lib" \
    -lkeel -o "consumer_$arch" || fail "the C consumer does not build against the $arch packages"
  LD_LIBRARY_PATH=$lib timeout 120 "qemu-${triple%%-*}-static" "./consumer_$arch" || fail "the $arch consumer failed"
done
echo "test-package: the arm64 and armhf packages hold ARM libraries, and a program built against them ran"

# The Windows zip: what it holds; keel.lib, the import library for MSVC, which
# cannot run here, imports exactly what keel.dll exports. The C consumer is
# built through keel.pc (libkeel.dll.a) and through keel.lib, the C++ one
# through find_package(keel); each runs under wine with keel.dll beside it, as
# a user would put it, and with no other DLL but the system's.
name=keel-$version-windows-x86_64
root=$work/windows/$name
[ -f "$win_build/$name.zip" ] || fail "no $win_build/$name.zip: run make package first"
mkdir -p "$work/windows/run" && (cd "$work/windows" && cmake -E tar xf "$win_build/$name.zip")
for f in bin/keel.dll lib/libkeel.dll.a lib/keel.lib include/keel.h include/keel.hpp include/keel/os_runtime.h lib/pkgconfig/keel.pc \
         lib/cmake/keel/keelConfig.cmake lib/cmake/keel/keelConfigVersion.cmake lib/cmake/keel/keelTargets.cmake; do
  [ -f "$root/$f" ] || fail "the Windows zip lacks $f"
done
exports=$(x86_64-w64-mingw32-objdump -p "$root/bin/keel.dll" |
          sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | sort)
imports=$(x86_64-w64-mingw32-nm "$root/lib/keel.lib" | sed -n 's/^.* I __imp_//p' | sort)
if ! grep -qx os_startup <<<"$exports" || [ "$exports" != "$imports" ]; then
  fail "keel.lib does not import what keel.dll exports: $(diff <(echo "$exports") <(echo "$imports") | head -5)"
fi

cd "$work/windows/run"
cp "$root/bin/keel.dll" .
win_cc=(x86_64-w64-mingw32-gcc-posix -std=c11 -pedantic-errors -Wall -Wextra -Werror "$work/consumer.c")
flags=$(PKG_CONFIG_LIBDIR=$root/lib/pkgconfig pkg-config --cflags --libs keel)
# shellcheck disable=SC2086 # the flags are words
"${win_cc[@]}" $flags -o consumer_pc.exe || fail "the C consumer does not build with keel.pc from the Windows zip"
"${win_cc[@]}" -I"$root/include" "$root/lib/keel.lib" -o consumer_lib.exe ||
  fail "the C consumer does not build with keel.lib"
# The C++ runtime is linked in, as the DLL has it: wine finds no mingw DLL.
cmake -S "$work" -B ../cxx -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
  -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_PREFIX_PATH="$root" >../cmake.log ||
  { cat ../cmake.log; fail "find_package(keel) failed for Windows"; }
grep -q "found in $root/" ../cmake.log ||
  fail "find_package(keel) found a Keel outside the Windows zip: $(grep 'found in' ../cmake.log)"
cmake --build ../cxx >../build.log || { cat ../build.log; fail "the C++ consumer does not build for Windows"; }
cp ../cxx/consumer_cxx.exe .
for program in consumer_pc consumer_lib consumer_cxx; do
  KEEL_WINEPREFIX=$work/wine timeout 300 bash "$here/../../scripts/wine_run.sh" "$program.exe" ||
    fail "$program.exe failed under wine"
done
echo "test-package: the Windows zip holds keel.dll, keel.lib and libkeel.dll.a; three consumers built against it ran under wine"
