#!/usr/bin/env bash
# qtk.exe under Wine: it packs a tree to exactly the bytes that the native
# qtk writes for the same tree and options (one volume and several, on one
# thread and two), and lists, tests (also --json) and extracts; names with spaces and
# Czech names in code page 1250 come back as they were, and extraction does
# not write through a link planted in its way.
#
# usage: qtk_wine_check.sh <wine-run.sh> <qtk.exe> <stub file> <native qtk>
set -u
RUN=$1
QTK_EXE=$2
STUB=$3
QTK=$4
"$RUN" --prepare || exit  # 77: this host cannot run this build's Wine
if [ ! -x "$QTK" ]; then
  echo "skipped: the native qtk is not built ($QTK; cmake --preset native && cmake --build --preset native)"
  exit 77
fi

fail=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; fail=1; }
exe() { "$RUN" "$QTK_EXE" "$@"; }
expect() {  # expect <what> <expected exit code> <command...>: runs it, output in $out
  local what=$1 want=$2 code=0
  shift 2
  out=$("$@" 2>&1) || code=$?
  out=${out//$'\r'/}
  if [ "$code" = "$want" ]; then ok "$what"; else bad "$what: exit code $code, expected $want"; echo "$out" | sed 's/^/     /'; fi
}
contains() {  # contains <what> <needle> <haystack>
  case "$3" in *"$2"*) ok "$1" ;; *) bad "$1: [$2] not in [$3]" ;; esac
}
same_files() {  # same_files <what> <file pattern a> <file pattern b>: the volumes of two sets
  local what=$1 a=$2 b=$3 n=0
  for f in "$a".*; do
    n=$((n + 1))
    cmp -s "$f" "$b.${f##*.}" || { bad "$what: ${f##*/} differs"; return; }
  done
  [ "$(ls "$b".* | wc -l)" = "$n" ] || { bad "$what: $n volumes against $(ls "$b".* | wc -l)"; return; }
  ok "$what: $n volume(s), the same bytes"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/qtk-exe.XXXXXX")
trap 'cd / && [ "$fail" = 0 ] && rm -rf "$work"' EXIT
cd "$work" || exit 1

# The tree: nested folders, names with spaces and Czech letters, an empty
# file, data that does not compress, and a control file in code page 1250.
tree="the tree"
mkdir -p "$tree/Příliš žluťoučký kůň" "$tree/data/sub dir"
seq 1 60000 > "$tree/Příliš žluťoučký kůň/úpěl ďábelské ódy.txt"
head -c 250000 /dev/urandom > "$tree/data/sub dir/noise.bin"
: > "$tree/data/empty"
printf 'read me\r\n' > "$tree/Čti mě.txt"
printf '[system]\r\nrun=\xc8ti m\xec.txt\r\n' > "$tree/qtksfx.ini"
touch -d '2001-02-03 04:05:06' "$tree/data/sub dir/noise.bin"

expect "qtk.exe --version" 0 exe --version
contains "qtk.exe carries the stub" "stub: qtksfx.exe for 32-bit Windows" "$out"

# The same bytes as the native qtk.
for options in "-j 1" "-j 2" "-j 2 --volume-size $(($(stat -c %s "$STUB") + 60000))"; do
  rm -rf native "windows out" && mkdir native "windows out"
  # shellcheck disable=SC2086
  "$QTK" pack "$tree" -o native/setup.exe --stub "$STUB" --codepage 1250 -q $options ||
    { bad "native qtk pack $options"; continue; }
  # shellcheck disable=SC2086
  expect "qtk.exe pack $options" 0 exe pack "$tree" -o "windows out/setup.exe" --stub "$STUB" --codepage 1250 -q $options
  same_files "qtk.exe pack $options" native/setup "windows out/setup"
done

# List, test and extract the volumes that qtk.exe wrote.
expect "qtk.exe list" 0 exe list "windows out/setup.exe" --codepage 1250
listed=$out
expect "native qtk list" 0 "$QTK" list "windows out/setup.exe" --codepage 1250
[ "$listed" = "$out" ] && ok "qtk.exe lists what the native qtk lists" || bad "the lists differ: [$listed] [$out]"
contains "the Czech name listed" "Příliš žluťoučký kůň/úpěl ďábelské ódy.txt" "$listed"
expect "qtk.exe test" 0 exe test "windows out/setup.exe" --codepage 1250 -j 2
contains "qtk.exe test: every volume" "windows out/setup.exe: ok, 5 members in " "$out"
expect "qtk.exe test --json" 0 exe test "windows out/setup.exe" --codepage 1250 --json
json=$out
expect "native qtk test --json" 0 "$QTK" test "windows out/setup.exe" --codepage 1250 --json
[ "$json" = "$out" ] && ok "qtk.exe's JSON document is the native qtk's" || bad "the JSON documents differ: [$json] [$out]"
contains "the Czech name in the JSON document" '"path": "Příliš žluťoučký kůň/úpěl ďábelské ódy.txt"' "$json"
expect "qtk.exe extract" 0 exe extract "windows out/setup.exe" -C "extracted here" --codepage 1250 -q
diff -r "$tree" "extracted here" >/dev/null && ok "the extracted tree equals the packed one" || bad "the extracted tree differs"
[ "$(stat -c %Y "extracted here/data/sub dir/noise.bin")" = "$(stat -c %Y "$tree/data/sub dir/noise.bin")" ] &&
  ok "extraction keeps the time" || bad "extraction lost the time"

# The stub that qtk.exe carries, and a damaged byte found.
expect "qtk.exe pack with the stub it carries" 0 exe pack "$tree" -o own.exe --codepage 1250 -q
expect "qtk.exe test of it" 0 exe test own.exe --codepage 1250 -q
cp own.exe damaged.exe
at=$(($(stat -c %s own.exe) / 2))
byte=$(od -An -tu1 -j "$at" -N 1 damaged.exe | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 0x55)))" | dd of=damaged.exe bs=1 seek="$at" conv=notrunc 2>/dev/null
expect "qtk.exe test finds a damaged byte" 1 exe test damaged.exe --codepage 1250 -q

# Links planted in the folder extracted into are not written through.
mkdir -p planted outside && echo keep > outside/victim.txt
ln -s ../outside/victim.txt "planted/Čti mě.txt"
expect "qtk.exe extract refuses a planted link to a file" 1 exe extract own.exe -C planted --codepage 1250 -q
rm "planted/Čti mě.txt" && ln -s ../outside planted/data
expect "qtk.exe extract refuses a planted link to a folder" 1 exe extract own.exe -C planted --codepage 1250 -q
# A folder entered once for several members: the level below it is still
# checked where it changes.
rm planted/data && mkdir planted/data && ln -s ../../outside "planted/data/sub dir"
expect "qtk.exe extract refuses a planted link below a folder it holds" 1 exe extract own.exe -C planted --codepage 1250 -q
[ "$(cat outside/victim.txt)" = keep ] && [ "$(ls outside)" = victim.txt ] && ok "nothing written outside" ||
  bad "something was written outside: $(ls outside)"

[ "$fail" = 0 ] || echo "kept for a look: $work"
exit $fail
