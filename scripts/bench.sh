#!/bin/sh
# Builds the benchmarks (Release) in build-bench/ and runs each program; arguments go to every
# program (for example --benchmark_filter=Check). Each program ends with one line per figure
# beside its reference, measured in the same run.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON \
    -DVELMORA_TESTS=OFF >/dev/null
cmake --build build-bench
for program in build-bench/bench/*_bench; do
    echo "== $(basename "$program")"
    "$program" "$@"
done
