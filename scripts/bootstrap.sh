#!/usr/bin/env bash
# Installs the Debian packages that building and testing QTK needs.
# Idempotent: when everything is present it prints nothing and does nothing.
#
#   bootstrap.sh           what the build and the tests need
#   bootstrap.sh --bench   that, and the benchmark's own tools (the tests
#                          need none of them): the peers that
#                          bench/install_bench.sh --peers times (nsis,
#                          makeself) and strace, which counts a run's
#                          system calls
set -euo pipefail

bench=0
[ "${1:-}" = --bench ] && bench=1

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# osslsigncode and openssl sign installers in the tests; locales gives the
# locales of the demo and of the Wine tests (below).
for p in cmake ninja-build g++ clang libgtest-dev zlib1g-dev \
         g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xdotool x11-utils imagemagick \
         locales openssl osslsigncode; do
  have_pkg "$p" || need+=("$p")
done
# The packer's tests read an installer's resources back (wrestool) and sign
# installers with a throwaway certificate; cpack finds the .deb's dependencies;
# groff checks the manual page.
for p in icoutils osslsigncode openssl dpkg-dev file groff-base; do
  have_pkg "$p" || need+=("$p")
done
if [ "$bench" = 1 ]; then
  for p in nsis makeself strace; do
    have_pkg "$p" || need+=("$p")
  done
fi
# 32-bit Wine needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need+=(wine32:i386)
elif ! have_pkg wine32:i386; then
  need+=(wine32:i386)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "bootstrap: installing ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The locales cs_CZ.UTF-8 (the demo and the Czech Wine tests), en_US.UTF-8
# and ja_JP.UTF-8 (the Wine tests of member names under code pages 1252
# and 932), generated from /etc/locale.gen (the locales already there are
# kept).
for loc in cs_CZ en_US ja_JP; do
  if ! locale -a 2>/dev/null | grep -qiE "^${loc}\.utf-?8$"; then
    echo "bootstrap: generating the locale ${loc}.UTF-8" >&2
    $SUDO sed -i "s/^# *${loc}\.UTF-8 UTF-8$/${loc}.UTF-8 UTF-8/" /etc/locale.gen
    grep -qx "${loc}.UTF-8 UTF-8" /etc/locale.gen || echo "${loc}.UTF-8 UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen --keep-existing >/dev/null
  fi
done
