#!/usr/bin/env bash
# Checks of the library's Win32 side under Wine that need Wine's own tools:
# settings written with `reg` and read back through fs_reg_get (local, the
# "*" server and the server named by this machine's name), a missing
# setting's warning reaching the event log, a flag poll and a notification
# written through the Win32 calls.
#
# Wine keeps no event log that can be read back (ReadEventLog is a stub), but
# its ReportEvent prints every insertion string on the "eventlog" debug
# channel and RegisterEventSource/ReportEvent print their arguments as
# fixmes of the "advapi" channel; the check reads those.
#
# usage: fs_wine_check.sh <wine-run.sh> <fs_wine_probe.exe>
set -u
RUN="$1"
PROBE="$2"
fail=0
"$RUN" --prepare || exit  # 77: this host cannot run this build's Wine
check() {  # check <what> <expected> <actual>
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; fail=1; fi
}
contains() {  # contains <what> <needle> <haystack>
  case "$3" in *"$2"*) echo "ok   $1" ;; *) echo "FAIL $1: [$2] not in output"; fail=1 ;; esac
}
probe() { WINEDEBUG=-all "$RUN" "$PROBE" "$@" 2>/dev/null | tr -d '\r'; }
reg() { WINEDEBUG=-all "$RUN" reg "$@" >/dev/null 2>&1; }

KEY='HKLM\SOFTWARE\Quillon\Relaymark'
work=$(mktemp -d "${TMPDIR:-/tmp}/qtk-fs-wine.XXXXXX")
trap 'reg delete "HKLM\SOFTWARE\Quillon" /f; rm -rf "$work"' EXIT
reg delete 'HKLM\SOFTWARE\Quillon' /f

# Settings through the registry.
reg add "$KEY\\0local\\system" /v server /d '*' /f
reg add "$KEY\\global\\system" /v path /d 'C:\relay\data' /f
check "local setting" '*' "$(probe get 0local system server)"
check "global setting, * server" 'C:\relay\data' "$(probe get global system path)"
computer=$(probe computer)
reg add "$KEY\\0local\\system" /v server /d "$computer" /f
check "global setting from the server $computer" 'C:\relay\data' "$(probe get global system path)"
reg add "$KEY\\0local\\system" /v server /d '*' /f

# A missing setting: one warning with the dotted name on the event log.
log=$(WINEDEBUG=fixme+advapi,+eventlog "$RUN" "$PROBE" get 0local system missing 2>&1 | tr -d '\r')
contains "missing setting gives none" '<none>' "$log"
contains "event source" 'RegisterEventSourceA ((null),"Relaymark.FS_API")' "$log"
contains "warning type and event id" '0x0002,0x0000,0xc000000b' "$log"
contains "first string: the setting" 'warn:eventlog:ReportEventW L"0local.system.missing"' "$log"
contains "second string: the location" 'warn:eventlog:ReportEventW L"[fs_registry.cpp:' "$log"

# Flag files under the system path.
sys="$work/sys"
mkdir -p "$sys/flag" "$sys/mail/out" "$sys/data/language/en"
winsys="Z:$(echo "$sys" | tr / '\\')\\"
reg add "$KEY\\global\\system" /v path /d "$winsys" /f
check "system path" "$winsys" "$(probe get global system path)"
: > "$sys/flag/RUN.RLM"
: > "$sys/flag/levl4.rlm"
: > "$sys/flag/tst-svc.rlm"
: > "$sys/flag/tst-other.rlm"
check "flag poll" '0 4' "$(probe flags svc)"
check "own test flag deleted" 'no' "$([ -e "$sys/flag/tst-svc.rlm" ] && echo yes || echo no)"
check "other test flag kept" 'yes' "$([ -e "$sys/flag/tst-other.rlm" ] && echo yes || echo no)"

# A notification: the same bytes as the native side writes.
printf 'Hello %%USER%%\r\n' > "$sys/data/language/en/subj.txt"
printf 'Dear %%USER#-6%%,\r\nid %%ID%%\r\n' > "$sys/data/language/en/body.txt"
printf 'JPEG' > "$work/pic.jpeg"
winpic="Z:$(echo "$work/pic.jpeg" | tr / '\\')"
check "mail-out result" '0' "$(probe mail 838861800 "$winpic")"
out="$sys/mail/out"
check "body file" "$(printf 'Dear    Jan,\r\nid 12345\r\n' | od -c)" "$(od -c < "$out/Mz0000rs00.txt")"
check "attachment copy" 'JPEG' "$(cat "$out/Mz0000rs02.peg")"
expected=$(printf '[system]\r\ntype=NOTE\r\nsubject=Hello Jan\r\nmsg=Mz0000rs00.txt\r\npriority=5\r\ndata=Mz0000rs02.peg\r\n\r\n[to]\r\nusername=jan\r\ngateway=M\r\nemail=jan@example.org\r\n' | od -c)
check "control file" "$expected" "$(od -c < "$out/Mz0000rs01.ctl" 2>/dev/null)"
check "no 888 file left" '' "$(ls "$out" | grep '\.888$')"

exit $fail
