#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix.
# Used by the Windows builds' tests, the Win32 test harness and the demo.
#
#   wine-run.sh PROGRAM [ARGS...]   runs PROGRAM (a Windows program or one of Wine's tools)
#   wine-run.sh --prepare           only makes the prefix
#   wine-run.sh --prefix            prints the prefix
#   wine-run.sh --stop              ends the prefix's Wine processes
#
# QTK_WINEARCH chooses the Wine:
#   win64 (default)  wine64 in the prefix $QTK_WINEPREFIX: the x86_64 build
#   win32            32-bit Wine in the prefix $QTK_WINEPREFIX-win32: the
#                    i686 build, the stub that ships
# QTK_WINEPREFIX defaults to $TMPDIR/qtk-wine-<uid>. 32-bit Wine needs a
# host whose kernel runs 32-bit programs; where it cannot, making the win32
# prefix fails and every call ends with exit code 77 (the tests' "skipped").
set -u
base="${QTK_WINEPREFIX:-${TMPDIR:-/tmp}/qtk-wine-$(id -u)}"
case "${QTK_WINEARCH:-win64}" in
  win32)
    export WINEARCH=win32 WINEPREFIX="$base-win32"
    QTK_WINE="${QTK_WINE32:-/usr/lib/wine/wine}"
    ;;
  win64)
    export WINEARCH=win64 WINEPREFIX="$base"
    QTK_WINE="${QTK_WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
    ;;
  *)
    echo "wine-run.sh: QTK_WINEARCH must be win32 or win64, not ${QTK_WINEARCH}" >&2
    exit 2
    ;;
esac
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

case "${1:-}" in
  --prefix) echo "$WINEPREFIX"; exit 0 ;;
  --stop)
    [ -d "$WINEPREFIX" ] || exit 0
    "$QTK_WINE" wineboot -e >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1
    exit 0
    ;;
esac

# The prefix is made once, quietly; a lock keeps parallel tests from racing.
# A 32-bit prefix counts as made only when an i686 program (Wine's own
# cmd.exe) has run in it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$QTK_WINE" wineboot -i >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    if [ "$WINEARCH" = win32 ]; then
      said=$("$QTK_WINE" cmd /c echo qtk-i686 2>/dev/null | tr -d '\r')
      if [ "$said" != qtk-i686 ]; then
        wineserver -k >/dev/null 2>&1
        rm -rf "$WINEPREFIX"
        echo "wine-run.sh: this host cannot run 32-bit programs under Wine ($QTK_WINE)" >&2
        exit 77
      fi
    fi
  fi
  flock -u 9
fi
[ "${1:-}" = --prepare ] && exit 0
exec "$QTK_WINE" "$@"
