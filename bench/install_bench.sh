#!/usr/bin/env bash
# How fast an installer unpacks, with every program that unpacks one, on the
# same installer: the i686 stub under 32-bit Wine with one decoding thread
# and with all, qtk.exe extract under the same Wine, the Linux console stub
# (the stub's own flow, natively) with one decoder and with all, and the
# native qtk extract at -j 1 and -j N. Each figure is the median of several
# runs, and the ratios that matter are printed beneath. Then one raw stream
# of the corpus through qtk compress/decompress beside gzip, xz and zstd.
#
# With --peers, the same tree is also packed by the peers (makensis with
# lzma, non-solid, and with zlib, as the installers that the host's Wine
# runs; makeself with gzip and with xz), each one's output is checked
# against the tree, and they are timed beside the stub in paired runs: each
# round runs every program once, in turn, and the medians of the times and
# of each round's ratios are printed, with the sizes and pack times.
#
# usage: bench/install_bench.sh [--runs N] [--no-wine] [--peers]
#                               [--also-stub EXE] [TREE]
#   TREE  a folder to pack; without it, a nested tree is built from the
#         corpus: 1,350 files of 64 KiB in 150 folders six levels deep.
#   --also-stub EXE  with --peers: another i686 stub (an earlier build, say)
#         packed with the same archive and timed in the same rounds.
# Needs the native build (build/native) and, for the Wine figures, the
# mingw build (build/mingw) and an X display ($DISPLAY). QTK_WINEPREFIX
# picks the Wine prefix, as for the tests. scripts/bootstrap.sh --bench
# installs the peers (the tests need none of them).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
native=$here/build/native
mingw=$here/build/mingw
corpus=${QTK_CORPUS:-$here/../shared/corpus}
runs=5
wine=1
peers=0
also_stub=""
tree=""
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --no-wine) wine=0; shift ;;
    --peers) peers=1; shift ;;
    --also-stub) also_stub=$(realpath "$2"); shift 2 ;;
    -h|--help) sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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

if [ "$peers" = 1 ]; then
  for t in makeself $([ "$wine" = 1 ] && echo makensis); do
    command -v "$t" >/dev/null || { echo "install_bench: --peers needs $t (scripts/bootstrap.sh --bench installs it)" >&2; exit 2; }
  done
fi
[ -z "$also_stub" ] || [ -f "$also_stub" ] || { echo "install_bench: no stub $also_stub" >&2; exit 2; }

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
  tree_name=$tree
else
  # A copy with its links followed, so that every program packs the same
  # plain files (makeself would keep a link, which may lead out of the tree).
  tree_name=$tree
  cp -rL "$tree" "$work/tree"
  tree=$work/tree
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
  local t0
  t0=$(date +%s.%N)
  "$qtk" pack "$work/in" -o "$3" --stub "$1" --run "$2" -q
  echo "$(date +%s.%N) - $t0" | bc -l > "$3.seconds"
}
pack "$console_stub" bench-setup.sh "$work/console-setup"
[ "$wine" = 1 ] && pack "$mingw/qtksfx.exe" bench-setup.exe "$work/setup.exe"
[ "$wine" = 1 ] && [ -n "$also_stub" ] && pack "$also_stub" bench-setup.exe "$work/setup-also.exe"
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

printf 'tree: %s files, %.1f MB (%s)\n' "$files" "$(echo "$bytes / 1000000" | bc -l)" "$tree_name"
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

# ---- the peers, in paired runs ------------------------------------------------------
if [ "$peers" = 1 ]; then
  echo
  declare -A PACK SIZE
  once() {  # once <key> <output> <command...>: packs, timing it once
    local key=$1 out=$2 t0
    shift 2
    t0=$(date +%s.%N)
    "$@" >"$work/err" 2>&1 </dev/null || { echo "install_bench: failed: $*" >&2; cat "$work/err" >&2; exit 1; }
    PACK[$key]=$(echo "$(date +%s.%N) - $t0" | bc -l)
    SIZE[$key]=$(stat -c %s "$out")
  }
  # Our installers, packed above.
  PACK[con]=$(cat "$work/console-setup.seconds"); SIZE[con]=$(stat -c %s "$work/console-setup")
  PACK[qtk1]=${PACK[con]}; SIZE[qtk1]=${SIZE[con]}
  # makeself: the tree, with its own check at the start as a user runs it,
  # and no startup command.
  once ms_gz "$work/ms-gzip.run" makeself --gzip --nox11 "$tree" "$work/ms-gzip.run" bench true
  once ms_xz "$work/ms-xz.run" makeself --xz --nox11 "$tree" "$work/ms-xz.run" bench true
  keys_native="con ms_gz ms_xz qtk1"
  keys_wine=""
  if [ "$wine" = 1 ]; then
    PACK[sfx]=$(cat "$work/setup.exe.seconds"); SIZE[sfx]=$(stat -c %s "$work/setup.exe")
    PACK[exe]=${PACK[sfx]}; SIZE[exe]=${SIZE[sfx]}
    keys_wine="sfx"
    if [ -n "$also_stub" ]; then
      PACK[also]=$(cat "$work/setup-also.exe.seconds"); SIZE[also]=$(stat -c %s "$work/setup-also.exe")
      keys_wine="$keys_wine also"
    fi
    # NSIS: the tree under $INSTDIR, silent, no uninstaller; the installers
    # are makensis's own 32-bit ones, which the host's 32-bit Wine runs.
    for c in lzma zlib; do
      cat > "$work/tree-$c.nsi" <<EOF
Unicode true
SetCompressor $c
Name "bench"
OutFile "$work/nsis-$c.exe"
RequestExecutionLevel user
InstallDir "\$TEMP\\bench"
SilentInstall silent
Section
  SetOutPath "\$INSTDIR"
  File /r "$tree/*"
SectionEnd
EOF
      once "nsis_$c" "$work/nsis-$c.exe" makensis -V1 "$work/tree-$c.nsi"
    done
    keys_wine="$keys_wine nsis_lzma nsis_zlib exe"
  fi
  declare -A LABEL=(
    [sfx]="qtksfx.exe (i686), $cores decoders"
    [also]="qtksfx.exe (i686, ${also_stub##*/} as given), $cores decoders"
    [nsis_lzma]="NSIS installer, lzma (non-solid), /S"
    [nsis_zlib]="NSIS installer, zlib, /S"
    [exe]="qtk.exe extract -j $cores"
    [con]="console stub (the stub's flow), $cores decoders"
    [ms_gz]="makeself, gzip"
    [ms_xz]="makeself, xz"
    [qtk1]="qtk extract -j 1")
  # Where each one unpacks: Wine's temporary folder under Wine (our stub
  # into the folder itself, the others into out\ there), $work/out
  # natively; emptied before each run.
  unpack() {  # unpack <key>
    case $1 in
      sfx) QTKSFX_DECODERS=$cores "$run" "$work/setup.exe" ;;
      also) QTKSFX_DECODERS=$cores "$run" "$work/setup-also.exe" ;;
      nsis_lzma|nsis_zlib) "$run" "$work/nsis-${1#nsis_}.exe" /S "/D=$wtemp\\out" ;;
      exe) "$run" "$mingw/qtk/qtk.exe" extract "$work/setup.exe" -C "$wtemp\\out" -q -j "$cores" ;;
      con) TMPDIR=$work/out/ LC_ALL=C QTKSFX_DECODERS=$cores bash -c "exec -a '$work/console-setup' '$console_stub'" ;;
      ms_gz) "$work/ms-gzip.run" --quiet --noexec --nox11 --target "$work/out" ;;
      ms_xz) "$work/ms-xz.run" --quiet --noexec --nox11 --target "$work/out" ;;
      qtk1) "$qtk" extract "$work/console-setup" -C "$work/out" -q -j 1 ;;
    esac
  }
  unpacked_in() {  # the Unix folder that holds what <key> unpacked
    case $1 in
      sfx|also) echo "$wtemp_unix" ;;
      nsis_*|exe) echo "$wtemp_unix/out" ;;
      *) echo "$work/out" ;;
    esac
  }
  clean() {
    case $1 in
      sfx|also|nsis_*|exe) rm -rf "${wtemp_unix:?}"/* ;;
      *) rm -rf "$work/out"; mkdir "$work/out" ;;
    esac
  }
  declare -A RT
  # rounds <keys...>: $runs rounds, each running every program once in turn;
  # the first round checks each one's output against the tree (ours adds
  # its setup program and control file).
  rounds() {
    local r k t0
    for r in $(seq "$runs"); do
      for k in "$@"; do
        clean "$k"
        t0=$(date +%s.%N)
        unpack "$k" >/dev/null 2>"$work/err" </dev/null || { echo "install_bench: $k failed" >&2; cat "$work/err" >&2; exit 1; }
        RT[$k,$r]=$(echo "$(date +%s.%N) - $t0" | bc -l)
        if [ "$r" = 1 ] && ! diff -r -x bench-setup.exe -x bench-setup.sh -x qtksfx.ini "$tree" "$(unpacked_in "$k")" >"$work/diff" 2>&1; then
          echo "install_bench: $k unpacked something other than the tree:" >&2
          head "$work/diff" >&2
          exit 1
        fi
      done
    done
    clean "$1"
  }
  med() { sort -g | awk '{ t[NR] = $1 } END { m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2; printf "%.3f\n", m }'; }
  # table <ours> <keys...>: size, pack and install time, and the median of
  # the rounds' ratios of ours to the row's program.
  table() {
    local ours=$1 k r times ratios
    shift
    printf '  %-50s %8s %8s %10s %11s\n' program "size MB" "pack s" "install s" "ours/this"
    for k in "$@"; do
      times="" ratios=""
      for r in $(seq "$runs"); do
        times+="${RT[$k,$r]}"$'\n'
        ratios+="$(echo "${RT[$ours,$r]} / ${RT[$k,$r]}" | bc -l)"$'\n'
      done
      printf '  %-50s %8.1f %8.1f %10.3f %11.2f\n' "${LABEL[$k]}" "$(echo "${SIZE[$k]} / 1000000" | bc -l)" \
        "${PACK[$k]}" "$(printf '%s' "$times" | med)" "$(printf '%s' "$ratios" | med)"
    done
  }
  printf "the peers: paired runs, %d rounds; medians of the times and of each round's ratio\n" "$runs"
  if [ "$wine" = 1 ]; then
    rounds $keys_wine
    echo "under 32-bit Wine (ours: ${LABEL[sfx]}):"
    table sfx $keys_wine
  fi
  rounds $keys_native
  echo "native (ours: ${LABEL[con]}):"
  table con $keys_native
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
