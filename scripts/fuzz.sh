#!/usr/bin/env bash
# Runs one libFuzzer target on a scratch copy of its seed corpus.
#   scripts/fuzz.sh <target> [seconds]     (default 300 seconds)
# Builds with clang in build/fuzz (or $NUVRA_FUZZ_BUILD). Crashing inputs are kept in
# <build>/artifacts/<target>/; copy them into fuzz/corpus/<target>/ once the fault is fixed.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 <target> [seconds]" >&2
    exit 2
fi
target=$1
seconds=${2:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NUVRA_FUZZ_BUILD:-$root/build/fuzz}
corpus=$root/fuzz/corpus/$target

if [ ! -f "$root/fuzz/$target.cpp" ] || [ ! -d "$corpus" ]; then
    echo "fuzz.sh: no target '$target' (need fuzz/$target.cpp and fuzz/corpus/$target/)" >&2
    exit 2
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNUVRA_FUZZ=ON -DNUVRA_TESTS=OFF -DNUVRA_BENCH=OFF >/dev/null
cmake --build "$build" --target "fuzz_$target" -j 2

# The targets write their settings files under $TMPDIR: a RAM file system keeps the disk's
# flush-on-rename from setting the pace.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/nuvra-corpus-$target-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp -r "$corpus"/. "$scratch"/
artifacts=$build/artifacts/$target
mkdir -p "$artifacts"
log=$build/fuzz-$target.log

status=0
nice -n 10 "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$scratch" >"$log" 2>&1 || status=$?

runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
echo "fuzz_$target: ${runs:-?} executions in $seconds s (${speed:-?} exec/s), corpus $(ls "$scratch" | wc -l) inputs"
if [ "$status" -ne 0 ]; then
    echo "fuzz_$target: FAILED (exit $status); inputs in $artifacts/, log $log" >&2
    grep -m 5 -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || true
fi
exit "$status"
