#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian machine:
#   native unit tests and fuzz-corpus replays, the same under ASan + UBSan,
#   the stub's threads under ThreadSanitizer,
#   the 32-bit and the 64-bit Windows builds with the Windows tests under
#   Wine on a virtual display, and a short run of every fuzzer. Prints one
#   summary line at the end; exits non-zero on any failure.
#
# The Windows tests run the i686 build, the stub that ships, where this host
# runs 32-bit programs (scripts/wine-arch.sh finds out, once per run), else
# the x86_64 build under wine64; the other build is only compiled. The line
# "windows tests: ..." before the summary says which.
#
# QTK_FUZZ_SECONDS (default 20) sets each fuzzer's run; QTK_SKIP (a list of
# stage names: native asan tsan mingw win64 cmake-example fuzz) skips stages.
#
#   scripts/test.sh --quick   the edit-build-test loop: the native build and
#                             its unit tests only (a few minutes from a fresh
#                             clone); the full run is what CI runs.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

bash scripts/bootstrap.sh || { echo "bootstrap failed"; exit 1; }

jobs=$(nproc)
fuzz_seconds=${QTK_FUZZ_SECONDS:-20}
skip=" ${QTK_SKIP:-} "
[ "$quick" -eq 1 ] && skip+=" asan tsan mingw win64 fuzz "
passed=0
failed=0
skipped=0
failures=()
log_dir="$root/build/test-logs"
mkdir -p "$log_dir"

stage() { echo; echo "=== $* ==="; }
wanted() { [[ "$skip" != *" $1 "* ]]; }

# Adds a CTest run's counts to the totals; skipped tests count as neither.
count_ctest() {
  local name=$1 log=$2 line total nfail nskip
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failures+=("$name: no test summary"); return
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  nfail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  nskip=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log")
  passed=$((passed + total - nfail - nskip))
  failed=$((failed + nfail))
  skipped=$((skipped + nskip))
  [ "$nfail" -eq 0 ] || failures+=("$name: $nfail failed (see $log)")
}

build() {  # build PRESET [TARGET...]
  local preset=$1; shift
  cmake --preset "$preset" >"$log_dir/$preset-configure.log" 2>&1 || { cat "$log_dir/$preset-configure.log"; return 1; }
  if [ $# -gt 0 ]; then
    cmake --build --preset "$preset" -j "$jobs" --target "$@" >"$log_dir/$preset-build.log" 2>&1
  else
    cmake --build --preset "$preset" -j "$jobs" >"$log_dir/$preset-build.log" 2>&1
  fi || { tail -n 60 "$log_dir/$preset-build.log"; return 1; }
}

run_ctest() {  # run_ctest NAME BUILD_DIR [ctest args...]
  local name=$1 dir=$2; shift 2
  local log="$log_dir/$name-ctest.log"
  (cd "$dir" && ctest --output-on-failure "$@") >"$log" 2>&1
  tail -n 15 "$log"
  count_ctest "$name" "$log"
}

if wanted native; then
  stage "native build and tests"
  if build native; then run_ctest native build/native -j "$jobs"
  else failed=$((failed + 1)); failures+=("native: build failed"); fi
fi

if wanted asan; then
  stage "AddressSanitizer + UBSan build and tests"
  if build asan; then
    ASAN_OPTIONS=detect_leaks=1 run_ctest asan build/asan -j "$jobs"
  else failed=$((failed + 1)); failures+=("asan: build failed"); fi
fi

# The stub's threads under ThreadSanitizer, with no suppressions: its unit
# and flow tests (the console stub decodes on 4 threads), then good,
# damaged, multi-volume, locked and cancelled installers on 2 and on 8. A
# report ends the stub with 66, which fails the test that ran it.
if wanted tsan; then
  stage "ThreadSanitizer: the stub's threads"
  tsan_start=$(date +%s)
  if build tsan qtksfx sfx_tests qtk; then
    tsan_log="$log_dir/tsan.log"
    : >"$tsan_log"
    tsan_failed=0
    tsan_run() {  # tsan_run DECODERS FILTER
      echo "--- $1 decoders: $2" >>"$tsan_log"
      TSAN_OPTIONS="halt_on_error=1 exitcode=66" QTKSFX_DECODERS=$1 \
        build/tsan/tests/stub/sfx_tests --gtest_filter="$2" >>"$tsan_log" 2>&1 || tsan_failed=$((tsan_failed + 1))
    }
    tsan_run 4 "*"
    for decoders in 2 8; do
      tsan_run "$decoders" "SfxFlow.GoodArchive*:SfxFlow.MemberFailures:SfxFlow.TopLevel*:SfxFlow.TheLock*:SfxVolumes.*"
    done
    grep -E "^\[  (PASSED|FAILED) |^--- |ThreadSanitizer" "$tsan_log"
    echo "tsan: $(( $(date +%s) - tsan_start )) s"
    if [ "$tsan_failed" -eq 0 ]; then passed=$((passed + 3))
    else failed=$((failed + tsan_failed)); failures+=("tsan: $tsan_failed run(s) failed (see $tsan_log)"); fi
  else failed=$((failed + 1)); failures+=("tsan: build failed"); fi
fi

# Which build the Windows tests run, found out once: the i686 build (the
# stub that ships) under 32-bit Wine where the host runs 32-bit programs.
windows_arch=""
windows_line=""
if wanted mingw || wanted win64; then
  stage "Wine: which Windows build the tests run"
  windows_arch=$(bash scripts/wine-arch.sh)
  if [ "$windows_arch" = i686 ]; then
    echo "32-bit Wine runs here: the tests run the i686 build"
    wanted mingw && windows_line="windows tests: i686"
  else
    echo "32-bit Wine cannot run here: the tests run the x86_64 build"
    wanted win64 && windows_line="windows tests: x86_64 (this host cannot run 32-bit programs)"
  fi
fi

# A virtual display of its own for Wine, whatever $DISPLAY holds (a variable
# left over from an ended login names a display that is gone).
xvfb_pid=""
start_display() {
  [ -n "$xvfb_pid" ] && return
  local number="$log_dir/xvfb-display"
  rm -f "$number"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -s "$number" ] && break; sleep 0.1; done
  if [ ! -s "$number" ]; then echo "Xvfb did not start"; return 1; fi
  export DISPLAY=":$(head -n 1 "$number")"
}

# windows_stage PRESET ARCH TITLE: builds the preset; runs its tests under
# Wine when it is the build that the tests run on this host.
windows_stage() {
  local preset=$1 arch=$2
  stage "$3"
  if ! build "$preset"; then
    failed=$((failed + 1)); failures+=("$preset: build failed"); return
  fi
  if [ "$windows_arch" != "$arch" ]; then
    if [ "$arch" = i686 ]; then echo "built; its tests need 32-bit Wine"
    else echo "built; its tests run where 32-bit Wine cannot"; fi
    passed=$((passed + 1))
    return
  fi
  if ! start_display; then
    failed=$((failed + 1)); failures+=("$preset: no virtual display"); return
  fi
  local wine_arch=win64
  [ "$arch" = i686 ] && wine_arch=win32
  run_ctest "$preset" "build/$preset" -j 1 --timeout 900
  QTK_WINEARCH=$wine_arch "$root/scripts/wine-run.sh" --stop
}

if wanted mingw; then
  windows_stage mingw i686 "32-bit Windows build (the stub that ships)"
  [ -f build/mingw/qtksfx.exe ] && echo "qtksfx.exe (i686): $(stat -c %s build/mingw/qtksfx.exe) bytes"
fi
if wanted win64; then
  windows_stage win64 x86_64 "64-bit Windows build"
fi
# The CMake package end to end (tests/cmake/example_check.sh): qtk installed
# into a temporary prefix, examples/cmake built with MinGW for the Windows
# build that this host runs, its installer made by qtk_add_installer and by
# cpack (the same bytes), run under Wine, and `qtk test --json` checked.
if wanted cmake-example && [ "$quick" -eq 0 ]; then
  stage "CMake package: examples/cmake through qtk_add_installer and cpack"
  example_start=$SECONDS
  [ -n "$windows_arch" ] || windows_arch=$(bash scripts/wine-arch.sh)
  example_stub=""
  example_build() {  # PRESET TARGET...: what the example needs, logged apart from the stages' builds
    local preset=$1; shift
    { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs" --target "$@"; } \
      >"$log_dir/cmake-example-$preset.log" 2>&1 || { tail -n 30 "$log_dir/cmake-example-$preset.log"; return 1; }
  }
  if ! example_build native qtk qtk_manual; then
    failed=$((failed + 1)); failures+=("cmake-example: the native build failed")
  elif [ "$windows_arch" != i686 ] && ! example_build win64 qtksfx; then
    failed=$((failed + 1)); failures+=("cmake-example: the x86_64 stub did not build")
  elif ! start_display; then
    failed=$((failed + 1)); failures+=("cmake-example: no virtual display")
  else
    [ "$windows_arch" != i686 ] && example_stub="$root/build/win64/qtksfx.exe"
    if bash tests/cmake/example_check.sh "$windows_arch" $example_stub >"$log_dir/cmake-example.log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1)); failures+=("cmake-example: see $log_dir/cmake-example.log")
    fi
    cat "$log_dir/cmake-example.log"
  fi
  echo "cmake-example: $((SECONDS - example_start)) s"
fi
[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null

if wanted fuzz; then
  stage "fuzzers, ${fuzz_seconds} s each"
  # The campaign script with short runs, leaving the committed corpora alone.
  QTK_FUZZ_SECONDS=$fuzz_seconds QTK_FUZZ_NO_MERGE=1 bash scripts/fuzz.sh >"$log_dir/fuzz.log" 2>&1
  fuzz_rc=$?
  cat "$log_dir/fuzz.log"
  fuzz_ok=$(grep -c '^fuzz .*: ok' "$log_dir/fuzz.log")
  fuzz_bad=$(grep -c '^fuzz .*: FAILED' "$log_dir/fuzz.log")
  passed=$((passed + fuzz_ok))
  failed=$((failed + fuzz_bad))
  [ "$fuzz_bad" -eq 0 ] || failures+=("fuzz: $fuzz_bad target(s) failed (see $log_dir/fuzz-*.log)")
  if [ "$fuzz_rc" -ne 0 ] && [ "$fuzz_bad" -eq 0 ]; then
    failed=$((failed + 1)); failures+=("fuzz: build failed (see $log_dir/fuzz-build.log)")
  fi
fi

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
[ -n "$windows_line" ] && echo "$windows_line"
if [ "$skipped" -gt 0 ]; then echo "$passed passed, $failed failed, $skipped skipped"
else echo "$passed passed, $failed failed"; fi
[ "$failed" -eq 0 ]
