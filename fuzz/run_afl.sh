#!/usr/bin/env bash
# Fuzzes the map file bytes with AFL++ (apt-get install afl++): builds the
# harness (the tool's own driver with fixed dialogue answers) instrumented and
# with AddressSanitizer and UndefinedBehaviorSanitizer in build-afl/, then runs
# one afl-fuzz instance from the seed corpus for a bounded time.
#
#   fuzz/run_afl.sh [SECONDS] [ANSWERS]
#
#   SECONDS  how long to fuzz (default 300)
#   ANSWERS  the dialogue answers, as printf reads them (default
#            '2\n2\n2\n1\n': two layers, maps of layer 2 and layer 1;
#            '1\n1\n1\n' fuzzes a one-layer model)
#
# Results: build-afl/out-<answers>/default/ (queue/, crashes/, hangs/,
# fuzzer_stats). Runs on with the same answers resume from the queue there.
# Replay a finding: PLYSECT_FUZZ_SCRATCH=DIR build-afl/fuzz/map_harness FILE
# (with PLYSECT_FUZZ_ANSWERS set as here). New inputs worth keeping go to
# fuzz/corpus/map (afl-cmin first), where the tests replay them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-300}"
answers="$(printf "${2:-2\\n2\\n2\\n1\\n}")"$'\n'
build="$root/build-afl"

command -v afl-fuzz >/dev/null || { echo "run_afl: afl-fuzz not found (apt-get install afl++)" >&2; exit 1; }

CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPLYSECT_SANITIZE=ON -DPLYSECT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target map_harness >/dev/null

label="$(printf '%s' "$answers" | tr '\n' '-' | sed 's/-*$//')"
out="$build/out-$label"
scratch="$build/scratch-$label"
mkdir -p "$scratch"
# A previous run's queue is where the next one starts.
input=("-i" "$root/fuzz/corpus/map")
[ -d "$out/default/queue" ] && input=("-i" "-")

export PLYSECT_FUZZ_ANSWERS="$answers" PLYSECT_FUZZ_SCRATCH="$scratch"
export AFL_SKIP_CPUFREQ=1 AFL_NO_AFFINITY=1
[ -t 1 ] || export AFL_NO_UI=1
# A sanitizer report must abort, so that it counts as a crash, not as exit
# status 1 (a refusal). The tool ends with exit() and everything still
# allocated; leak checking has nothing to say.
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
# -m none: the block table of an input at the limits (120 substances, 235000
# segments) is 112 MB, more than AFL's default memory limit under ASan; filling
# it takes up to half a second there, hence the 2 s before a run counts as a
# hang (a run that waits on something never ends at all).
exec afl-fuzz "${input[@]}" -o "$out" -x "$root/fuzz/map.dict" -m none -t 2000 -V "$seconds" \
  -- "$build/fuzz/map_harness" @@
