#!/usr/bin/env bash
# Builds plysect and runs it on an example.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -B build >/dev/null
cmake --build build -j"$(nproc)" --target plysect >/dev/null
build/plysect
