#!/usr/bin/env bash
# Authenticode-signed installers, end to end: a throwaway self-signed
# certificate made with openssl, installers packed with the native qtk and
# signed with osslsigncode, then checked by osslsigncode verify and qtk
# test, and run by the stub under Wine (the *Signed* cases of the Win32
# tests): one signed installer, the same with a damaged byte in its
# archive, and a multi-volume installer whose first volume is signed.
#
# usage: sfx_wine_signed.sh <wine-run.sh> <sfx_wine_tests.exe> <qtksfx.exe> <setup.exe> <qtk>
set -u
RUN=$1
TESTS=$2
STUB=$3
SETUP=$4
QTK=$5
"$RUN" --prepare || exit  # 77: this host cannot run this build's Wine
if [ ! -x "$QTK" ]; then
  echo "skipped: the native qtk is not built ($QTK; cmake --preset native && cmake --build --preset native)"
  exit 77
fi
for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null || { echo "FAIL $tool is missing (scripts/bootstrap.sh installs it)"; exit 1; }
done

fail=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; fail=1; }
expect() {  # expect <what> <expected exit code> <command...>: runs it, output in $out
  local what=$1 want=$2 code=0
  shift 2
  out=$("$@" 2>&1) || code=$?
  if [ "$code" = "$want" ]; then ok "$what"; else bad "$what: exit code $code, expected $want"; echo "$out" | sed 's/^/     /'; fi
}
contains() {  # contains <what> <needle> <haystack>
  case "$3" in *"$2"*) ok "$1" ;; *) bad "$1: [$2] not in [$3]" ;; esac
}

work=$(mktemp -d "${TMPDIR:-/tmp}/qtk-signed.XXXXXX")
trap 'cd / && [ "$fail" = 0 ] && rm -rf "$work"' EXIT
cd "$work" || exit 1

# The certificate and the installation files.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QTK test signer" \
  -keyout key.pem -out cert.pem >/dev/null 2>&1 || { echo "FAIL openssl could not make a certificate"; exit 1; }
mkdir -p stage/docs unsigned signed damaged multi-unsigned multi
cp "$SETUP" stage/setup.exe
printf '[system]\r\nrun=setup.exe\r\n' > stage/qtksfx.ini
printf 'signed hello\r\n' > stage/readme.txt
seq 1 40000 > stage/docs/numbers.txt
sign() { osslsigncode sign -certs cert.pem -key key.pem -n "QTK test" -h sha256 -in "$1" -out "$2" >/dev/null; }
verify() { osslsigncode verify -CAfile cert.pem -in "$1"; }

# One signed installer: the certificate table follows the archive, and the
# archive lies inside what the signature covers.
"$QTK" pack stage -o unsigned/setup.exe --stub "$STUB" -q || { echo "FAIL qtk pack"; exit 1; }
sign unsigned/setup.exe signed/setup.exe || { echo "FAIL osslsigncode sign"; exit 1; }
unsigned_size=$(stat -c %s unsigned/setup.exe)
signed_size=$(stat -c %s signed/setup.exe)
[ "$signed_size" -gt $((unsigned_size + 8)) ] && [ "$(tail -c 4 signed/setup.exe | od -An -tx1 | tr -d ' ')" != deadface ] &&
  ok "signing appended a certificate table ($unsigned_size -> $signed_size bytes)" || bad "signing appended nothing"
expect "osslsigncode verify accepts the signed installer" 0 verify signed/setup.exe
expect "qtk test accepts the signed installer" 0 "$QTK" test signed/setup.exe
contains "qtk test: ok" "signed/setup.exe: ok, 4 members in 1 volume" "$out"
contains "qtk test: notes the signature" "signed/setup.exe: signed: " "$out"
case "$out" in *warning*) bad "qtk test warns: $out" ;; esac
expect "qtk extract extracts the signed installer" 0 "$QTK" extract signed/setup.exe -C extracted -q
diff -r stage extracted >/dev/null && ok "extracted files equal the packed ones" || bad "extracted files differ"

# A damaged byte in the archive (in the first packet, just past the stub):
# the signature no longer verifies, and the archive is damaged.
cp signed/setup.exe damaged/setup.exe
at=$(($(stat -c %s "$STUB") + 12))
byte=$(od -An -tu1 -j "$at" -N 1 damaged/setup.exe | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 0x55)))" | dd of=damaged/setup.exe bs=1 seek="$at" conv=notrunc 2>/dev/null
expect "osslsigncode verify refuses the damaged installer" 1 verify damaged/setup.exe
expect "qtk test finds the damage" 1 "$QTK" test damaged/setup.exe

# Volumes of the stub's size and 20000 bytes more; only the first is signed.
"$QTK" pack stage -o multi-unsigned/setup.exe --stub "$STUB" -q \
  --volume-size $(($(stat -c %s "$STUB") + 20000)) || { echo "FAIL qtk pack with volumes"; exit 1; }
sign multi-unsigned/setup.exe multi/setup.exe || { echo "FAIL osslsigncode sign (volume 1)"; exit 1; }
cp multi-unsigned/setup.0* multi/
volumes=$(($(ls multi | wc -l)))
[ "$volumes" -ge 2 ] && ok "$volumes volumes" || bad "only $volumes volume"
expect "osslsigncode verify accepts the signed volume 1" 0 verify multi/setup.exe
expect "qtk test accepts the signed multi-volume installer" 0 "$QTK" test multi/setup.exe
contains "qtk test: all volumes" "ok, 4 members in $volumes volumes" "$out"

# The stub under Wine runs all three.
expect "the stub under Wine" 0 env QTK_SIGNED_DIR="$work" "$RUN" "$TESTS" --gtest_filter='*Signed*'
echo "$out" | grep -E '^\[ +(OK|FAILED|SKIPPED) +\]|Failure|Expected|Which is|actual' | sed 's/^/     /'
contains "three signed cases passed" "[  PASSED  ] 3 tests." "$out"

[ "$fail" = 0 ] || echo "kept for a look: $work"
exit $fail
