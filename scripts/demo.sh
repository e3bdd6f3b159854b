#!/usr/bin/env bash
# The example installer, end to end: builds the stub and the example's setup
# program, packs examples/installer (with setup.exe) into
# build/demo-setup.exe and runs it under Wine on a virtual display. The
# progress window shows, the files land in Wine's temporary directory, the
# setup program reports what it found, and the stub ends with exit code 0.
#
#   scripts/demo.sh [--screenshots DIR]
#
# --screenshots DIR also runs the installer under a Czech locale and keeps
# a picture of the progress window for each language (DIR/qtksfx-dialog-en.png,
# DIR/qtksfx-dialog-cs.png). Uses $DISPLAY when set, else starts Xvfb.
# The installer carries the i686 stub, the one that ships, and runs under
# 32-bit Wine where this host runs 32-bit programs (scripts/wine-arch.sh);
# elsewhere it carries the x86_64 build of the same sources, under wine64.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
shots=""
if [ "${1:-}" = "--screenshots" ]; then
  shots=$(mkdir -p "$2" && cd "$2" && pwd)
fi
jobs=${JOBS:-2}
say() { printf '\n== %s\n' "$*"; }

# Compilers, MinGW-w64, Wine, Xvfb: installed when missing.
bash scripts/bootstrap.sh

# The demo's own Wine prefix, so that its temporary directory holds just
# this installation.
export QTK_WINEPREFIX=${QTK_DEMO_WINEPREFIX:-$root/build/wine-demo}
if [ "$(bash scripts/wine-arch.sh)" = i686 ]; then
  preset=mingw arch=i686
  export QTK_WINEARCH=win32
else
  preset=win64 arch=x86_64
  export QTK_WINEARCH=win64
  echo "this host cannot run 32-bit programs: the demo runs the x86_64 build of the stub" >&2
fi

say "building the stub ($arch, preset $preset) and the example's setup program"
[ -f build/$preset/CMakeCache.txt ] || cmake --preset $preset >/dev/null
cmake --build build/$preset --target qtksfx qtk_example_setup -j"$jobs" >/dev/null
[ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
cmake --build build/native --target qtk -j"$jobs" >/dev/null

say "packing examples/installer into build/demo-setup.exe"
stage=build/demo-stage
rm -rf "$stage"
cp -a examples/installer "$stage"
cp build/$preset/examples/setup.exe "$stage/setup.exe"
rm -f build/demo-setup.exe
build/native/qtk/qtk pack "$stage" -o build/demo-setup.exe --run setup.exe --stub build/$preset/qtksfx.exe
ls -l build/demo-setup.exe

# A display for Wine.
xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  mkdir -p build
  rm -f build/demo-display
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>build/demo-display >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -s build/demo-display ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n 1 build/demo-display)"
fi

# Wine draws the window frames itself (there is no window manager on a
# virtual display), so the pictures show the caption.
wine=scripts/wine-run.sh
prefix=$("$wine" --prefix)
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1 || true
temp_w=$("$wine" cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
temp_u=$("$wine" winepath -u "$temp_w" 2>/dev/null | tr -d '\r')
temp_u=${temp_u%/}
case "$temp_u" in
  "$prefix"/*) ;;
  *) echo "unexpected temporary directory $temp_u" >&2; exit 1 ;;
esac

# run_installer CAPTION SHOT: starts the installer, waits for its window,
# takes the picture, waits for the end; prints the exit code.
run_installer() {
  local caption=$1 shot=$2
  find "$temp_u" -mindepth 1 -delete 2>/dev/null || true
  "$wine" "$root/build/demo-setup.exe" >/dev/null 2>&1 &
  local pid=$!
  if timeout 60 xdotool search --sync --onlyvisible --name "$caption" >/dev/null 2>&1; then
    echo "the window \"$caption\" is up" >&2
  else
    echo "the window \"$caption\" did not show" >&2
  fi
  if [ -n "$shot" ]; then
    # The setup program keeps the window alone for a moment, showing that
    # it runs; then its own summary box comes up.
    for _ in $(seq 100); do [ -f "$temp_u/setup.exe" ] && break; sleep 0.1; done
    sleep 1.5
    import -window root "$shot"
    echo "picture: $shot" >&2
  fi
  local code=0
  wait "$pid" || code=$?
  echo "$code"
}

# The set-up calls above leave the prefix's Wine processes running; on a
# display that they were the first to use, the installer's window then never
# shows. The installer starts them afresh.
"$wine" --stop >/dev/null 2>&1 || true
say "running build/demo-setup.exe under Wine (display $DISPLAY)"
code=$(run_installer "Preparing installation" "${shots:+$shots/qtksfx-dialog-en.png}")
echo "exit code: $code"

say "extracted into $temp_w"
for f in readme.txt qtksfx.ini setup.exe docs/release-notes.txt docs/guide/getting-started.txt data/images/logo.txt; do
  if [ -f "$temp_u/$f" ]; then
    printf '  %-32s %8s bytes  %s\n' "$f" "$(stat -c %s "$temp_u/$f")" "$(date -u -r "$temp_u/$f" '+%Y-%m-%d %H:%M UTC')"
  else
    printf '  %-32s MISSING\n' "$f"; code=1
  fi
done

say "the setup program's report"
if [ -f "$temp_u/setup-report.txt" ]; then
  sed 's/^/  /' "$temp_u/setup-report.txt"
else
  echo "  (no report: the setup program did not run)"; code=1
fi

if [ -n "$shots" ]; then
  say "the same under a Czech locale"
  cz=$(LC_ALL=cs_CZ.UTF-8 LANG=cs_CZ.UTF-8 run_installer "prava instalace" "$shots/qtksfx-dialog-cs.png" 2>/dev/null)
  echo "exit code: $cz"
  [ "$cz" = 0 ] || code=1
fi

[ "$code" = 0 ] && say "demo finished: exit code 0" || say "demo FAILED"
exit "$code"
