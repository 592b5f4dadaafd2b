#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and runs them.
# Usage: scripts/fuzz.sh [target|all] [seconds per target, default 60]
set -eu
cd "$(dirname "$0")/.."
target="${1:-all}"
seconds="${2:-60}"
scripts/setup-deps

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2

if [ "$target" = all ]; then
    targets=$(find build-fuzz/fuzz -maxdepth 1 -type f -name '*_fuzz' -perm -u+x -printf '%f\n' | sort)
else
    targets="$target"
fi

for t in $targets; do
    # New inputs go to the build tree; the committed seeds are only read.
    mkdir -p "build-fuzz/corpus/$t" "build-fuzz/artifacts"
    seeds=""
    [ -d "fuzz/corpus/$t" ] && seeds="fuzz/corpus/$t"
    dict=""
    [ -f "fuzz/$t.dict" ] && dict="-dict=fuzz/$t.dict"
    echo "== $t for ${seconds}s"
    # shellcheck disable=SC2086
    "build-fuzz/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build-fuzz/artifacts/$t-" $dict "build-fuzz/corpus/$t" $seeds
done
