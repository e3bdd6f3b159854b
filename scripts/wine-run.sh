#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix.
# Used as CMake's cross-compiling emulator and by the Win32 test harness.
set -u
export WINEPREFIX="${QTK_WINEPREFIX:-${TMPDIR:-/tmp}/qtk-wine-$(id -u)}"
export WINEARCH=win64
# This machine cannot run 32-bit Linux binaries, so only the 64-bit loader
# works here; it runs the x86_64 build of the Windows programs.
QTK_WINE="${QTK_WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # The prefix is made once, quietly; a lock keeps parallel tests from racing.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/system.reg" ] || { "$QTK_WINE" wineboot -i >/dev/null 2>&1; wineserver -w; }
  flock -u 9
fi
exec "$QTK_WINE" "$@"
