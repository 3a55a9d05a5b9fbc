#!/usr/bin/env bash
# Runs a Windows program under wine: ctest's emulator for the Windows build.
# The prefix is KEEL_WINEPREFIX (make test-windows makes one per run in a
# temporary folder), or else one kept per user in the temporary folder. The
# first program to need a prefix makes it, while the others wait: two wine
# processes that make one prefix at once can hang. Wine's own chatter is off,
# and no display is needed (the library's window is a message-only one).
# With no program it only makes the prefix and prints its folder, for a
# script that links a COM port into it before a program runs.
set -euo pipefail
prefix=${KEEL_WINEPREFIX:-${TMPDIR:-/tmp}/keel-wine-$(id -u)}
wine=/usr/lib/wine/wine64
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
mkdir -p "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$wine" wineboot --init >/dev/null 2>&1
      /usr/lib/wine/wineserver -w
    fi
  ) 9>"$prefix/.keel-lock"
fi
[ $# -gt 0 ] || { echo "$prefix"; exit 0; }
exec "$wine" "$@"
