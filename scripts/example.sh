#!/usr/bin/env bash
# Builds plysect and runs it on an example: a synthetic 3D map file of 10
# layers of 300 segments, 5 substances and two days of hourly blocks, cut into
# the layer maps of layers 1, 5 and 10 with the answers given on stdin.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -B build >/dev/null
cmake --build build -j"$(nproc)" --target plysect make_map >/dev/null
mkdir -p example
cd example
../build/make_map estuary.map --layers 10 --segments-per-layer 300 --substances 5 --blocks 49
echo "\$ plysect estuary.map   (answers: 10 layers, 3 maps: layers 1, 5 and 10)"
../build/plysect estuary.map <<'ANSWERS'
10
3
1
5
10
ANSWERS
echo
echo "\$ ls -l example/"
ls -l
