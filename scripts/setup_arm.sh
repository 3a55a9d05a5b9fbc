#!/usr/bin/env bash
# Installs what the ARM builds need (make test-arm, make package): Debian's
# cross compilers for 64-bit (aarch64) and 32-bit (armhf) ARM, qemu-user to
# run the tests, and the target architectures' own libraries (multiarch
# packages). Then registers qemu with binfmt_misc, so that a test can run a
# copy of its own binary as any program would. Quick when all is there.
set -euo pipefail

packages=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static)
for arch in arm64 armhf; do
  packages+=(libxml2-dev:$arch libssl-dev:$arch libc-ares-dev:$arch libgtest-dev:$arch libgmock-dev:$arch)
done
packages+=(libasan8:armhf libubsan1:armhf)  # the 32-bit build with the address checker

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup_arm: installing ${missing[*]}"
  for arch in arm64 armhf; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
  done
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught in the middle of a sync fails an index or two: try again,
  # then go on with the indexes that came; the install says if they do.
  for try in 1 2 3; do
    $sudo apt-get update -qq && break
    echo "setup_arm: apt-get update failed (try $try of 3)"
    [ "$try" -lt 3 ] && sleep 20
  done
  # The multiarch libssl-dev moves the build machine's own to the same version.
  if ! $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    # A multiarch package has one version on every architecture. When the
    # security archive's index of an ARM architecture is missing or behind,
    # only the release's own versions are there for all of them: those are
    # taken, the build machine's copies moved to them (a few down).
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "setup_arm: trying again with the versions of $codename itself"
    pin=$(mktemp)
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n' "$codename" >"$pin"
    $sudo apt-get install -y -qq --no-install-recommends --allow-downgrades \
      -o Dir::Etc::Preferences="$pin" "${missing[@]}"
    rm -f "$pin"
  fi
fi

# binfmt_misc: the kernel hands an ARM program to qemu by itself.
binfmt=/proc/sys/fs/binfmt_misc
[ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null ||
  echo "setup_arm: binfmt_misc cannot be mounted; a test that runs a copy of itself will fail"
for q in aarch64 arm; do
  if [ -e $binfmt/register ] && [ ! -e $binfmt/qemu-$q ]; then
    $sudo sh -c "cat /usr/lib/binfmt.d/qemu-$q.conf > $binfmt/register" ||
      echo "setup_arm: qemu-$q could not be registered with binfmt_misc"
  fi
done
