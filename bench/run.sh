#!/usr/bin/env bash
# Benchmark: plysect against `cat input > out`, the cost of reading and writing
# the same bytes once, on page-cached inputs, runs alternating so that machine
# noise hits every command alike. Prints median wall times, the ratio to cat
# and peak RSS.
#
#   bench/run.sh [RUNS]          (default 7)
#
# Shapes:
#   large: about 1.1 GB, 20 substances, 235000 segments in 20 layers, 60 blocks;
#          all 20 layers and one layer
#   tiny:  1 substance, 1 segment per layer, 20 layers, 200000 blocks;
#          all 20 layers (cost per block per layer map)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
command -v /usr/bin/time >/dev/null || { echo "bench: needs /usr/bin/time (apt-get install time)"; exit 1; }

cmake -B build-bench -DCMAKE_BUILD_TYPE=Release -DPLYSECT_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target plysect make_map >/dev/null
bin=$PWD/build-bench

work=${BENCH_DIR:-$(mktemp -d /var/tmp/plysect-bench-XXXXXX)}
trap 'rm -rf "$work"' EXIT
cd "$work"

"$bin/make_map" large.map --layers 20 --segments-per-layer 11750 --substances 20 --blocks 60
"$bin/make_map" tiny.map --layers 20 --segments-per-layer 1 --substances 1 --blocks 200000

all_layers=$(printf '20\n20\n'; seq 1 20)
one_layer=$(printf '20\n1\n7\n')

# time_one NAME COMMAND...: runs the command once, appends "seconds kib" to NAME.times
time_one() {
  local name=$1; shift
  /usr/bin/time -f "%e %M" -o "$name.one" "$@" >/dev/null 2>&1
  cat "$name.one" >>"$name.times"
  rm -f ./*-lay-*.map out
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

cat large.map tiny.map >/dev/null  # into the page cache
rm -f ./*.times
for ((r = 0; r < runs; r++)); do
  time_one cat_large sh -c 'cat large.map >out'
  time_one all_large sh -c "'$bin/plysect' large.map >/dev/null <<EOF
$all_layers
EOF"
  time_one one_large sh -c "'$bin/plysect' large.map >/dev/null <<EOF
$one_layer
EOF"
  time_one cat_tiny sh -c 'cat tiny.map >out'
  time_one all_tiny sh -c "'$bin/plysect' tiny.map >/dev/null <<EOF
$all_layers
EOF"
done

report() {
  local name=$1 label=$2 base=$3
  local t m b
  t=$(cut -d' ' -f1 "$name.times" | median)
  m=$(cut -d' ' -f2 "$name.times" | sort -n | tail -1)
  b=$(cut -d' ' -f1 "$base.times" | median)
  printf '%-34s median %7.3f s   %5.2f x cat   peak RSS %7.1f MiB\n' \
    "$label" "$t" "$(echo "$t $b" | awk '{print ($2 > 0) ? $1 / $2 : 0}')" "$(echo "$m" | awk '{print $1 / 1024}')"
}

echo "plysect benchmark, $runs runs each, alternating ($(nproc) cores)"
echo "large.map: $(stat -c %s large.map) bytes; tiny.map: $(stat -c %s tiny.map) bytes"
report cat_large "cat large.map > out" cat_large
report all_large "plysect large, all 20 layers" cat_large
report one_large "plysect large, one layer" cat_large
report cat_tiny "cat tiny.map > out" cat_tiny
report all_tiny "plysect tiny, all 20 layers" cat_tiny
t=$(cut -d' ' -f1 all_tiny.times | median)
echo "tiny: $(echo "$t" | awk '{printf "%.2f", $1 / (200000 * 20) * 1e6}') us per block per layer map (whole run / 4000000)"
