#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian machine:
#   native unit tests and fuzz-corpus replays, the same under ASan + UBSan,
#   the 32-bit Windows build (the stub that ships), the 64-bit Windows build
#   with its tests under Wine on a virtual display, and a short run of every
#   fuzzer. Prints one summary line at the end; exits non-zero on any failure.
#
# QTK_FUZZ_SECONDS (default 20) sets each fuzzer's run; QTK_SKIP (a list of
# stage names: native asan mingw win64 fuzz) skips stages.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/bootstrap.sh || { echo "bootstrap failed"; exit 1; }

jobs=$(nproc)
fuzz_seconds=${QTK_FUZZ_SECONDS:-20}
skip=" ${QTK_SKIP:-} "
passed=0
failed=0
failures=()
log_dir="$root/build/test-logs"
mkdir -p "$log_dir"

stage() { echo; echo "=== $* ==="; }
wanted() { [[ "$skip" != *" $1 "* ]]; }

# Adds a CTest run's counts to the totals.
count_ctest() {
  local name=$1 log=$2 line total nfail
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failures+=("$name: no test summary"); return
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  nfail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
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

if wanted mingw; then
  stage "32-bit Windows build (the shipping stub)"
  if build mingw; then
    passed=$((passed + 1))
    [ -f build/mingw/qtksfx.exe ] && echo "qtksfx.exe (i686): $(stat -c %s build/mingw/qtksfx.exe) bytes"
  else failed=$((failed + 1)); failures+=("mingw: build failed"); fi
fi

if wanted win64; then
  stage "64-bit Windows build, tests under Wine"
  xvfb_pid=""
  if [ -z "${DISPLAY:-}" ]; then
    Xvfb :97 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=:97
    sleep 1
  fi
  if build win64; then run_ctest win64 build/win64 -j 1 --timeout 900
  else failed=$((failed + 1)); failures+=("win64: build failed"); fi
  "$root/scripts/wine-run.sh" wineboot -e >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
fi

if wanted fuzz; then
  stage "fuzzers, ${fuzz_seconds} s each"
  if build fuzz fuzzers; then
    for f in build/fuzz/tests/*/*_fuzz; do
      [ -x "$f" ] || continue
      name=$(basename "$f" _fuzz)
      work="$root/build/fuzz/corpus-$name"
      mkdir -p "$work"
      cp -n "$root/tests/fuzz/corpus/$name"/* "$work/" 2>/dev/null
      if "$f" -max_total_time="$fuzz_seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
           -artifact_prefix="$work/crash-" "$work" >"$log_dir/fuzz-$name.log" 2>&1; then
        echo "fuzz $name: ok ($(grep -o 'stat::number_of_executed_units: [0-9]*' "$log_dir/fuzz-$name.log" | grep -o '[0-9]*$' || echo '?') runs)"
        passed=$((passed + 1))
      else
        echo "fuzz $name: FAILED"; tail -n 30 "$log_dir/fuzz-$name.log"
        failed=$((failed + 1)); failures+=("fuzz $name (see $log_dir/fuzz-$name.log)")
      fi
    done
  else failed=$((failed + 1)); failures+=("fuzz: build failed"); fi
fi

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
