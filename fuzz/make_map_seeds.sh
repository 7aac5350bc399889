#!/usr/bin/env bash
# Writes the seed inputs of the map file fuzz target into fuzz/corpus/map:
# small map files made with make_map, then cut short or with header fields and
# values patched, one file per shape worth starting from.
#
#   fuzz/make_map_seeds.sh [BUILD_DIR]     (default: build; needs its make_map)
#
# The seeds are checked in; this script says how they were made.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
make_map="$build/make_map"
out="$root/fuzz/corpus/map"
[ -x "$make_map" ] || { echo "make_seeds: no $make_map (build first)" >&2; exit 1; }
mkdir -p "$out"

# put32 FILE OFFSET VALUE: overwrites 4 bytes with VALUE, little-endian.
put32() {
  local v=$(( $3 & 0xFFFFFFFF ))
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((v & 255)) $((v >> 8 & 255)) \
            $((v >> 16 & 255)) $((v >> 24 & 255)))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# seed NAME MAKE_MAP_OPTIONS...: a map file; layers, segments per layer and
# substances are small unless the name says otherwise.
seed() {
  local name="$1"
  shift
  "$make_map" "$out/$name" "$@"
}

# Shapes the dialogue's two configurations (2 layers, 1 layer) cut cleanly.
seed two-layers-two-blocks --layers 2 --segments-per-layer 3 --substances 2 --blocks 2
seed one-substance-four-blocks --layers 2 --segments-per-layer 2 --substances 1 --blocks 4
seed three-substances-last-block-cut --layers 2 --segments-per-layer 2 --substances 3 \
  --blocks 2 --partial 17
seed last-block-cut-in-itime --layers 2 --segments-per-layer 1 --substances 2 --blocks 1 --partial 3
seed header-only --layers 2 --segments-per-layer 4 --substances 3 --blocks 0
seed notot-0-five-blocks --layers 2 --segments-per-layer 2 --substances 0 --blocks 5
seed notot-0-header-only --layers 2 --segments-per-layer 2 --substances 0 --blocks 0
seed notot-0-one-byte-more --layers 2 --segments-per-layer 2 --substances 0 --blocks 0 --partial 1
seed noseg-0 --layers 2 --segments-per-layer 0 --substances 2 --blocks 3
seed negative-itime --layers 2 --segments-per-layer 2 --substances 1 --blocks 3 \
  --start -90000 --step 3599
seed itime-extremes --layers 2 --segments-per-layer 1 --substances 1 --blocks 3 \
  --start -2147483648 --step 2147483647
seed odd-noseg --layers 1 --segments-per-layer 7 --substances 1 --blocks 2

# Values with the bit patterns that must pass unchanged: signalling and quiet
# NaNs with payloads, infinities, negative zero, a denormal.
seed nan-values --layers 2 --segments-per-layer 3 --substances 2 --blocks 2
offset=$((168 + 2 * 20 + 4))
for bits in 0x7F800001 0xFFC00001 0x7FC00000 0xFF800000 0x80000000 0x00000001 0x7FBFFFFF; do
  put32 "$out/nan-values" "$offset" "$bits"
  offset=$((offset + 8))
done

# Titles and names with bytes above 0x7F and control bytes.
seed high-bytes --layers 2 --segments-per-layer 2 --substances 2 --blocks 1
printf '\x80\xff\xe9\x00\r\n\t\x1b' | dd of="$out/high-bytes" bs=1 seek=5 conv=notrunc status=none
printf '\xc3\xa9\xff\x00' | dd of="$out/high-bytes" bs=1 seek=125 conv=notrunc status=none
printf '\xa7\x00\x7f' | dd of="$out/high-bytes" bs=1 seek=170 conv=notrunc status=none

# A header cut short: in the titles, in the counts, in the names; and nothing.
seed truncated-header --layers 2 --segments-per-layer 2 --substances 2 --blocks 1
head -c 100 "$out/truncated-header" >"$out/cut-in-titles"
head -c 162 "$out/truncated-header" >"$out/cut-in-counts"
head -c 190 "$out/truncated-header" >"$out/cut-in-names"
rm "$out/truncated-header"
: >"$out/empty"

# The limits: notot 120 and noseg 235000 are taken, one more is refused, and
# so is a negative count. Header and a few bytes of a block: the block table
# is sized for the whole block (notot 120 and noseg 235000 together: 112 MB).
seed notot-120 --layers 2 --segments-per-layer 1 --substances 120 --blocks 1
seed notot-121 --layers 2 --segments-per-layer 1 --substances 2 --blocks 1
put32 "$out/notot-121" 160 121
seed notot-negative --layers 2 --segments-per-layer 1 --substances 2 --blocks 1
put32 "$out/notot-negative" 160 -1
seed notot-int-min --layers 2 --segments-per-layer 1 --substances 2 --blocks 1
put32 "$out/notot-int-min" 160 -2147483648
seed noseg-235000 --layers 2 --segments-per-layer 1 --substances 1 --blocks 0 --partial 40
put32 "$out/noseg-235000" 164 235000
seed noseg-235001 --layers 2 --segments-per-layer 1 --substances 1 --blocks 1
put32 "$out/noseg-235001" 164 235001
seed noseg-negative --layers 2 --segments-per-layer 1 --substances 1 --blocks 1
put32 "$out/noseg-negative" 164 -2
seed noseg-int-max --layers 2 --segments-per-layer 1 --substances 1 --blocks 1
put32 "$out/noseg-int-max" 164 2147483647
seed notot-120-noseg-235000 --layers 2 --segments-per-layer 1 --substances 120 --blocks 0 \
  --partial 64
put32 "$out/notot-120-noseg-235000" 164 235000

ls "$out" | wc -l
