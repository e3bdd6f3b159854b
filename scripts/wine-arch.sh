#!/usr/bin/env bash
# Finds out which build of the Windows programs this host can run under
# Wine and prints it: "i686" when 32-bit Wine runs an i686 program here
# (Wine's own cmd.exe, in the 32-bit prefix of scripts/wine-run.sh), else
# "x86_64". The i686 build is the stub that ships; the x86_64 build of the
# same sources runs under wine64 on hosts whose kernel runs only 64-bit
# programs. The prefix is made on the first call (about 20 s); later calls
# take a second.
#
# QTK_WINE32 names the 32-bit Wine loader (default /usr/lib/wine/wine);
# QTK_WINE32=/bin/false shows the x86_64 path on a host that could do both.
set -u
here=$(cd "$(dirname "$0")" && pwd)
said=$(QTK_WINEARCH=win32 "$here/wine-run.sh" cmd /c echo qtk-i686 2>/dev/null | tr -d '\r')
if [ "$said" = qtk-i686 ]; then echo i686; else echo x86_64; fi
