#!/bin/sh
# Marks the PE image FILE to be run from the page file when it is started
# from a removable medium or from the network (IMAGE_FILE_REMOVABLE_RUN_
# FROM_SWAP 0x0400, IMAGE_FILE_NET_RUN_FROM_SWAP 0x0800), which this
# toolchain's linker has no option for, and brings the image's checksum up
# to date. The image keeps its size.
set -eu
file=$1
byte() { od -An -tu1 -j "$1" -N1 "$file" | tr -d ' \n'; }
u32() { echo $(( $(byte "$1") | $(byte $(($1 + 1))) << 8 | $(byte $(($1 + 2))) << 16 | $(byte $(($1 + 3))) << 24 )); }
put() {  # put OFFSET VALUE COUNT: COUNT bytes of VALUE, little-endian
  i=0
  while [ "$i" -lt "$3" ]; do
    printf "\\$(printf '%03o' $(( ($2 >> (8 * i)) & 255 )))"
    i=$((i + 1))
  done | dd of="$file" bs=1 seek="$1" conv=notrunc status=none
}
pe=$(u32 60)
# The COFF header's Characteristics, 22 bytes into it; both flags are in
# its high byte.
at=$((pe + 23))
old=$(byte "$at")
new=$((old | 0x0C))
[ "$new" -eq "$old" ] && exit 0
put "$at" "$new" 1
# The checksum (64 bytes into the optional header) is the one's-complement
# sum of the image's 16-bit words plus its length: the word changed by
# (new - old) << 8.
sum_at=$((pe + 24 + 64))
sum=$(u32 "$sum_at")
[ "$sum" -eq 0 ] && exit 0
length=$(wc -c < "$file")
folded=$((sum - length + ((new - old) << 8)))
folded=$(( (folded & 0xFFFF) + (folded >> 16) ))
put "$sum_at" $((folded + length)) 4
