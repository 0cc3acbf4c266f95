#!/usr/bin/env bash
# Builds the engine benchmark with the library's own flags (no FMA contraction, no fast-math)
# and runs it: benchmarks/bench_engine.sh [rows cols nan_rate]...
# Environment: BENCH_METRIC, BENCH_WEIGHTS, BENCH_K, BENCH_REFERENCE=1 (also time the
# straightforward pass for tables up to 5000 rows), BENCH_KERNEL=name (one kernel only),
# BENCH_REPEATS, BENCH_GROUP_ROWS, BENCH_SUPERBLOCK_BYTES.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="$root/build/bench"
mkdir -p "$out"
g++ -std=c++20 -O3 -g -DNDEBUG -ffp-contract=off -fno-math-errno -Wall -Wextra -I"$root/src" \
    "$root"/src/knn/*.cpp "$here/bench_engine.cpp" -o "$out/bench_engine"
exec "$out/bench_engine" "$@"
