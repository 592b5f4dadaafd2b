#!/bin/sh
# Builds the benchmarks (Release) in build-bench and runs every *_bench program, or the one named.
# Prints one line per figure; a benchmark named "<figure> | <reference>" was measured in the same
# run on the same data and is shown beside "<figure>" with the ratio (above 1: ours is faster).
set -eu
cd "$(dirname "$0")/.."
scripts/setup-deps
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON \
    -DVELMORA_TESTS=OFF >/dev/null
cmake --build build-bench -j2 >build-bench/build.log 2>&1 || { cat build-bench/build.log; exit 1; }

if [ $# -gt 0 ]; then
    programs="build-bench/bench/$1"
else
    programs=$(find build-bench/bench -maxdepth 1 -type f -name '*_bench' -perm -u+x | sort)
fi

# Keep freed memory in the process: otherwise glibc hands large buffers back to the kernel after
# every iteration and the figures measure page faults rather than the code under test.
export GLIBC_TUNABLES=glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=268435456

for program in $programs; do
    out="build-bench/$(basename "$program")"
    "$program" --benchmark_out="$out.json" --benchmark_out_format=json >"$out.txt" 2>&1 ||
        { cat "$out.txt"; exit 1; }
    python3 - "$out.json" <<'PY'
import json, sys

import re

runs = []
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("error_occurred"):
        print(f"{b['name']}: skipped ({b.get('error_message', '')})")
    elif b.get("run_type", "iteration") == "iteration":
        runs.append(b)
# Google Benchmark appends run options to a name ("/iterations:1/manual_time"); a figure and its
# reference are paired by the names they were given.
for b in runs:
    b["name"] = re.sub(r"/(iterations:\d+|manual_time|real_time|min_time:[0-9.]+s?)", "", b["name"])

def measure(b):
    """(value, text, higher_is_better) for one benchmark."""
    if "bytes_per_second" in b:
        v = b["bytes_per_second"] / 1e6
        return v, f"{v:.0f} MB/s" if v >= 100 else f"{v:.3g} MB/s", True
    if "items_per_second" in b:
        v = b["items_per_second"]
        return v, f"{v / 1e6:.3g} M/s" if v >= 1e6 else f"{v:.3g} /s", True
    ns = b["real_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3), ("ns", 1)):
        if ns >= scale or unit == "ns":
            return ns, f"{ns / scale:.3g} {unit}", False

figures = [b for b in runs if " | " not in b["name"]]
references = {}
for b in runs:
    if " | " in b["name"]:
        figure, ref = b["name"].split(" | ", 1)
        references.setdefault(figure, []).append((ref, b))

STANDARD = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
            "repetitions", "repetition_index", "threads", "iterations", "real_time", "cpu_time",
            "time_unit", "bytes_per_second", "items_per_second", "label", "error_occurred",
            "error_message", "aggregate_name", "aggregate_unit"}

def counters(b):
    """User counters of a benchmark (CPU per gigabit, frames intact), as ", name value"."""
    return "".join(f", {k} {v:.4g}" for k, v in b.items()
                   if k not in STANDARD and isinstance(v, (int, float)))

for b in figures:
    value, text, higher = measure(b)
    line = f"{b['name']}: {text}{counters(b)}"
    for ref, rb in references.pop(b["name"], []):
        rvalue, rtext, _ = measure(rb)
        ratio = value / rvalue if higher else rvalue / value
        line += f", {ref} {rtext}, ratio {ratio:.2f}"
    print(line)
for figure, refs in references.items():
    for ref, rb in refs:
        print(f"{figure} ({ref}): {measure(rb)[1]}")
PY
done

# The gate under load over HTTPS, beside nginx (needs root to run the gate); only in a full run.
[ $# -gt 0 ] && exit 0
if [ "$(id -u)" = 0 ] && command -v wrk >/dev/null && command -v nginx >/dev/null; then
    bench/gate_load.sh build-bench/velmora
    # A legitimate authentication under the combined attack (held connections, half-sent bodies,
    # slowloris, a wrk flood), then the same with nft enforcement in a network namespace of its own.
    build-bench/bench/gate_auth_latency build-bench/velmora
    if command -v nft >/dev/null; then
        build-bench/bench/gate_auth_latency --enforce build-bench/velmora
    fi
else
    echo "gate load: skipped (needs root, wrk and nginx)"
fi
