#!/usr/bin/env bash
# Builds the engine benchmark (CMake target mirel_bench_engine, with the library's own flags)
# and runs it: benchmarks/bench_engine.sh [rows cols nan_rate]...
# Environment: BENCH_METRIC, BENCH_WEIGHTS, BENCH_K, BENCH_REFERENCE=1 (also time the
# straightforward pass for tables up to 5000 rows), BENCH_KERNEL=name (one kernel only),
# BENCH_REPEATS, BENCH_GROUP_ROWS, BENCH_SUPERBLOCK_BYTES, BENCH_RANK=r (tables of rank r plus
# noise), BENCH_PRUNE=0 (no pruning), BENCH_PRUNE_MIN=f, BENCH_QUERY=split|self (the query pass),
# BENCH_FLOOR=0 (no loop floor columns). "@PATH rows cols" reads a table of raw doubles instead of
# drawing one. --build-only builds it and stops. `python benchmarks/bench.py engine` runs it on named tables.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIREL_PYTHON=OFF -DMIREL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target mirel_bench_engine >/dev/null
[ "${1:-}" = --build-only ] && exit 0
exec "$build/mirel_bench_engine" "$@"
