#!/bin/sh
# Marks the PE image FILE to be run from the page file when it is started
# from a removable medium or from the network (IMAGE_FILE_REMOVABLE_RUN_
# FROM_SWAP 0x0400, IMAGE_FILE_NET_RUN_FROM_SWAP 0x0800), which this
# toolchain's linker has no option for. The image keeps its size; its
# checksum field is 0 and stays so.
set -eu
file=$1
byte() { od -An -tu1 -j "$1" -N1 "$file" | tr -d ' \n'; }
pe=$(( $(byte 60) | $(byte 61) << 8 | $(byte 62) << 16 | $(byte 63) << 24 ))
# The COFF header's Characteristics, little-endian, 22 bytes into the
# header; both flags are in its high byte.
at=$((pe + 23))
high=$(( $(byte "$at") | 0x0C ))
printf "\\$(printf '%03o' "$high")" | dd of="$file" bs=1 seek="$at" conv=notrunc status=none
