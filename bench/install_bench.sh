#!/usr/bin/env bash
# How fast an installer unpacks, with every program that unpacks one, on the
# same installer: the i686 stub under 32-bit Wine with one decoding thread
# and with all, qtk.exe extract under the same Wine, the Linux console stub
# (the stub's own flow, natively) with one decoder and with all, and the
# native qtk extract at -j 1 and -j N. Each figure is the median of several
# runs, and the ratios that matter are printed beneath. Then one raw stream
# of the corpus through qtk compress/decompress beside gzip, xz and zstd.
#
# usage: bench/install_bench.sh [--runs N] [--no-wine] [TREE]
#   TREE  a folder to pack; without it, a nested tree is built from the
#         corpus: 1,350 files of 64 KiB in 150 folders six levels deep.
# Needs the native build (build/native) and, for the Wine figures, the
# mingw build (build/mingw) and an X display ($DISPLAY). QTK_WINEPREFIX
# picks the Wine prefix, as for the tests.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
native=$here/build/native
mingw=$here/build/mingw
corpus=${QTK_CORPUS:-$here/../shared/corpus}
runs=5
wine=1
tree=""
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --no-wine) wine=0; shift ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) tree=$1; shift ;;
  esac
done
cores=$(nproc)
qtk=$native/qtk/qtk
console_stub=$native/qtksfx
for f in "$qtk" "$console_stub"; do
  [ -x "$f" ] || { echo "install_bench: $f is not built (cmake --preset native && cmake --build --preset native)" >&2; exit 2; }
done
if [ "$wine" = 1 ]; then
  for f in "$mingw/qtksfx.exe" "$mingw/qtk/qtk.exe"; do
    [ -f "$f" ] || { echo "install_bench: $f is not built (cmake --preset mingw && cmake --build --preset mingw), or pass --no-wine" >&2; exit 2; }
  done
  [ -n "${DISPLAY:-}" ] || { echo "install_bench: the stub's window needs an X display (\$DISPLAY), or pass --no-wine" >&2; exit 2; }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qtk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- the tree ------------------------------------------------------------------
# The corpus's files (not its README) as one file.
corpus_all() { find "$corpus" -type f ! -name README.md | sort | xargs cat > "$work/corpus.all"; }
if [ -z "$tree" ]; then
  tree=$work/tree
  corpus_all
  python3 - "$work/corpus.all" "$tree" <<'EOF'
import os, sys
data = open(sys.argv[1], 'rb').read()
root = sys.argv[2]
piece = 64 << 10
k = 0
for folder in range(150):
    d = os.path.join(root, 'p%d' % (folder // 30), 'q%d' % (folder // 6 % 5), 'r%d' % (folder % 6), 's', 't', 'u')
    os.makedirs(d)
    for f in range(9):
        at = (k * 40961) % (len(data) - piece)
        with open(os.path.join(d, 'f%d.bin' % f), 'wb') as out:
            out.write(data[at:at + piece])
        k += 1
EOF
fi
files=$(find "$tree" -type f | wc -l)
bytes=$(du -sb "$tree" | cut -f1)

# A setup program that returns at once, for each stub to start.
mkdir -p "$work/extra"
printf '#!/bin/sh\nexit 0\n' > "$work/extra/bench-setup.sh"
if [ "$wine" = 1 ]; then
  printf 'int main(void) { return 0; }\n' > "$work/noop.c"
  i686-w64-mingw32-gcc -O2 -s -mwindows -o "$work/extra/bench-setup.exe" "$work/noop.c"
fi

# The installers: the tree plus the setup program, for the Windows stub and
# for the console stub (the same archive behind another stub).
pack() {  # pack <stub> <setup name> <output>
  rm -rf "$work/in" && mkdir "$work/in"
  cp -rL "$tree"/. "$work/in/"
  cp "$work/extra/$2" "$work/in/"
  rm -f "$work/in/qtksfx.ini"
  "$qtk" pack "$work/in" -o "$3" --stub "$1" --run "$2" -q
}
pack "$console_stub" bench-setup.sh "$work/console-setup"
[ "$wine" = 1 ] && pack "$mingw/qtksfx.exe" bench-setup.exe "$work/setup.exe"
rm -rf "$work/in"

# ---- timing --------------------------------------------------------------------
# median <command...>: runs it $runs times (with prepare() before each run,
# untimed), prints the median wall time in seconds.
prepare() { :; }
median() {
  local times=() t0 t1
  for _ in $(seq "$runs"); do
    prepare
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>"$work/err" </dev/null || { echo "install_bench: failed: $*" >&2; cat "$work/err" >&2; exit 1; }
    t1=$(date +%s.%N)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{ t[NR] = $1 } END { m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2; printf "%.3f\n", m }'
}
declare -A T
row() {  # row <key> <label>
  printf '  %-52s %8.3f s\n' "$2" "${T[$1]}"
}

printf 'tree: %s files, %.1f MB (%s)\n' "$files" "$(echo "$bytes / 1000000" | bc -l)" "$tree"
printf 'installer: %.1f MB; %d runs each, the median; %d cores\n\n' \
  "$(echo "$(stat -c %s "$work/console-setup") / 1000000" | bc -l)" "$runs" "$cores"

if [ "$wine" = 1 ]; then
  run=$here/scripts/wine-run.sh
  export QTK_WINEARCH=win32 QTK_WINEPREFIX=${QTK_WINEPREFIX:-$work/wine}
  "$run" --prepare >/dev/null
  # The stub unpacks into Wine's temporary folder; it is emptied before each
  # run, and qtk.exe's output folder likewise.
  wtemp=$("$run" cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
  wtemp_unix=$(WINEPREFIX=$QTK_WINEPREFIX-win32 winepath -u "$wtemp" 2>/dev/null || true)
  [ -d "$wtemp_unix" ] || { echo "install_bench: cannot find Wine's temporary folder ($wtemp)" >&2; exit 1; }
  prepare() { rm -rf "${wtemp_unix:?}"/* "$work/out"; }
  T[wine1]=$(QTKSFX_DECODERS=1 median "$run" "$work/setup.exe")
  T[wineN]=$(QTKSFX_DECODERS=$cores median "$run" "$work/setup.exe")
  T[exe1]=$(median "$run" "$mingw/qtk/qtk.exe" extract "$work/setup.exe" -C "$work/out" -q -j 1)
  T[exeN]=$(median "$run" "$mingw/qtk/qtk.exe" extract "$work/setup.exe" -C "$work/out" -q -j "$cores")
  prepare
fi

prepare() { rm -rf "$work/out"; mkdir "$work/out"; }
# The console stub unpacks into $TMPDIR and takes its archive from argv[0].
T[con1]=$(TMPDIR=$work/out/ LC_ALL=C QTKSFX_DECODERS=1 median bash -c "exec -a '$work/console-setup' '$console_stub'")
T[conN]=$(TMPDIR=$work/out/ LC_ALL=C QTKSFX_DECODERS=$cores median bash -c "exec -a '$work/console-setup' '$console_stub'")
T[qtk1]=$(median "$qtk" extract "$work/console-setup" -C "$work/out" -q -j 1)
T[qtkN]=$(median "$qtk" extract "$work/console-setup" -C "$work/out" -q -j "$cores")

if [ "$wine" = 1 ]; then
  echo "under 32-bit Wine:"
  row wine1 "qtksfx.exe (i686), 1 decoder"
  row wineN "qtksfx.exe (i686), $cores decoders"
  row exe1 "qtk.exe extract -j 1"
  row exeN "qtk.exe extract -j $cores"
fi
echo "native:"
row con1 "console stub (the stub's flow), 1 decoder"
row conN "console stub (the stub's flow), $cores decoders"
row qtk1 "qtk extract -j 1"
row qtkN "qtk extract -j $cores"
echo "ratios:"
ratio() { printf '  %-52s %8.2f\n' "$1" "$(echo "$2 / $3" | bc -l)"; }
ratio "console stub, $cores decoders / qtk extract -j 1" "${T[conN]}" "${T[qtk1]}"
ratio "console stub, $cores decoders / 1 decoder" "${T[conN]}" "${T[con1]}"
ratio "qtk extract -j $cores / -j 1" "${T[qtkN]}" "${T[qtk1]}"
if [ "$wine" = 1 ]; then
  ratio "qtk.exe extract -j $cores / qtksfx.exe, $cores decoders" "${T[exeN]}" "${T[wineN]}"
  ratio "qtk.exe extract -j 1 / qtksfx.exe, 1 decoder" "${T[exe1]}" "${T[wine1]}"
  ratio "qtksfx.exe, $cores decoders / 1 decoder" "${T[wineN]}" "${T[wine1]}"
fi

# ---- one raw stream, beside gzip, xz and zstd ------------------------------------
# The corpus as one file, compressed and decompressed on one thread by each.
echo
[ -f "$work/corpus.all" ] || corpus_all
all=$work/corpus.all
size=$(stat -c %s "$all")
prepare() { :; }
printf 'the corpus as one stream: %d bytes; compress and decompress on one thread\n' "$size"
printf '  %-16s %8s %14s %14s\n' tool ratio "compress" "decompress"
codec_row() {  # codec_row <name> <compressed file> <compress seconds> <decompress seconds>
  local c
  c=$(stat -c %s "$2")
  printf '  %-16s %8.3f %9.1f MB/s %9.1f MB/s\n' "$1" "$(echo "$c / $size" | bc -l)" \
    "$(echo "$size / $3 / 1000000" | bc -l)" "$(echo "$size / $4 / 1000000" | bc -l)"
}
tc=$(median "$qtk" compress "$all" "$work/all.qz")
td=$(median "$qtk" decompress "$work/all.qz" "$work/all.out")
cmp -s "$all" "$work/all.out" || { echo "install_bench: qtk decompress gave other bytes" >&2; exit 1; }
codec_row "qtk (the codec)" "$work/all.qz" "$tc" "$td"
printf '  %-16s %8s   decompress: %.3f s\n' "" "" "$td"
for tool in "gzip -6" "xz -6 -T1" "zstd -3 -T1" "zstd -19 -T1"; do
  set -- $tool
  command -v "$1" >/dev/null || { printf '  %-16s (not installed)\n' "$tool"; continue; }
  tc=$(median sh -c "$tool -c '$all' > '$work/all.z'")
  td=$(median sh -c "$1 -d -c < '$work/all.z' > /dev/null")
  codec_row "$tool" "$work/all.z" "$tc" "$td"
done
