#!/usr/bin/env bash
# Runs a fuzzing campaign over every fuzz target (tests/fuzz/CMakeLists.txt).
#
#   scripts/fuzz.sh [MINUTES] [TARGET...]     default: 10 minutes, every target
#
# Builds the `fuzz` preset (clang, libFuzzer, ASan + UBSan), runs each target
# for MINUTES over a working corpus seeded from tests/fuzz/corpus/NAME, then
# merges what it learned back into tests/fuzz/corpus/NAME (only inputs that
# add coverage; commit them if you want to keep them). A crash stops that
# target: its input is left as build/fuzz/corpus-NAME/crash-*, the script
# prints it and exits non-zero. See tests/fuzz/README.md.
#
# QTK_FUZZ_SECONDS, when set, overrides MINUTES (the test command's short
# runs); QTK_FUZZ_NO_MERGE=1 leaves the committed corpora alone.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

minutes=10
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+([.][0-9]+)?$ ]]; then minutes=$1; shift; fi
seconds=${QTK_FUZZ_SECONDS:-$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')}
merge=1
[ "${QTK_FUZZ_NO_MERGE:-0}" = 1 ] && merge=0

log_dir="$root/build/test-logs"
mkdir -p "$log_dir"
{ cmake --preset fuzz && cmake --build --preset fuzz -j "$(nproc)" --target fuzzers; } \
  >"$log_dir/fuzz-build.log" 2>&1 || { tail -n 40 "$log_dir/fuzz-build.log"; echo "fuzz: build failed"; exit 1; }

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build/fuzz/tests/fuzz/*_fuzz; do targets+=("$(basename "$f" _fuzz)"); done
fi

status=0
for name in "${targets[@]}"; do
  bin="build/fuzz/tests/fuzz/${name}_fuzz"
  seeds="$root/tests/fuzz/corpus/$name"
  work="$root/build/fuzz/corpus-$name"
  log="$log_dir/fuzz-$name.log"
  [ -x "$bin" ] || { echo "fuzz $name: no such target"; status=1; continue; }
  mkdir -p "$work" "$seeds"
  cp -n "$seeds"/* "$work/" 2>/dev/null
  if "$bin" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/crash-" "$work" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz $name: ok ($runs runs in ${seconds} s)"
    if [ "$merge" = 1 ]; then
      "$bin" -merge=1 -max_len=8192 "$seeds" "$work" >>"$log" 2>&1 || true
    fi
  else
    echo "fuzz $name: FAILED"
    tail -n 30 "$log"
    ls "$work"/crash-* 2>/dev/null | sed 's/^/  kept: /'
    status=1
  fi
done
exit $status
