#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz/ and runs each for SECONDS (default 120): scripts/fuzz.sh [SECONDS] [TARGET...]
# Corpora grow in build-fuzz/corpus-<target>, seeded from fuzz/corpus/<target>; crashes land in
# build-fuzz/artifacts.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-120}
[ $# -gt 0 ] && shift
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_FUZZ=ON \
    -DVELMORA_TESTS=OFF >/dev/null
cmake --build build-fuzz
targets=${*:-$(cd build-fuzz/fuzz && ls -- *_fuzz)}
mkdir -p build-fuzz/artifacts
for target in $targets; do
    name=${target%_fuzz}
    corpus=build-fuzz/corpus-$name
    mkdir -p "$corpus"
    set -- "$corpus"
    [ -d "fuzz/corpus/$name" ] && set -- "$@" "fuzz/corpus/$name"
    [ -f "fuzz/${target}.dict" ] && set -- "-dict=fuzz/${target}.dict" "$@"
    echo "== $target for ${seconds}s"
    "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build-fuzz/artifacts/$target-" "$@"
done
