#!/usr/bin/env bash
# Bounded coverage-guided fuzzing, starting from the corpora kept in tests/fuzz/corpus:
# - the engine with libFuzzer (clang) under ASan + UBSan: impute against impute_reference,
#   bit for bit, failures included;
# - the Python API with atheris: fit/transform against the plain-Python model, and arrays of
#   any dtype and shape through the conversion.
# New inputs go to a scratch directory, never into the repository. A crash, a sanitizer report,
# a difference or an undefined exception fails the stage and leaves the input in $build.
# MIREL_FUZZ_SECONDS sets each fuzzer's time (default 60). MIREL_FUZZ_DRIVERS chooses what the
# Python fuzzer drives (here "all": tables and arrays, and n_jobs, Dask blocks and exceptions
# raised inside a call; or name them: MIREL_FUZZ_DRIVERS=tables,dask; see tests/fuzz/fuzz_python.py).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${MIREL_FUZZ_SECONDS:-60}"
build="$PWD/build/ci-fuzz"
mkdir -p "$build"

if ! command -v clang++-14 >/dev/null || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q clang-14 libclang-rt-14-dev
fi
python3 -c "import atheris" 2>/dev/null || python3 -m pip install -q atheris

# 1. The engine (the flags live in CMakeLists.txt, MIREL_BUILD_FUZZ).
cmake -S . -B "$build/cmake" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DMIREL_PYTHON=OFF -DMIREL_BUILD_FUZZ=ON -DMIREL_WERROR=ON >/dev/null
cmake --build "$build/cmake" -j2 --target mirel_fuzz_engine
cp "$build/cmake/mirel_fuzz_engine" "$build/fuzz_engine"
rm -rf "$build/engine-new" && mkdir -p "$build/engine-new"
engine_rc=0
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/fuzz_engine" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/" \
  "$build/engine-new" tests/fuzz/corpus/engine >"$build/engine.log" 2>&1 || engine_rc=$?
grep -E "^(stat::|Done)|ERROR|runtime error|fuzz_engine:" "$build/engine.log" || true

# 2. The Python API, against the module that 00-deps.sh installed.
export MIREL_FUZZ_DRIVERS="${MIREL_FUZZ_DRIVERS:-all}"
echo "python fuzzer drivers: $MIREL_FUZZ_DRIVERS"
rm -rf "$build/python-new" && mkdir -p "$build/python-new"
python_rc=0
python3 tests/fuzz/fuzz_python.py -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/" \
  "$build/python-new" tests/fuzz/corpus/python >"$build/python.log" 2>&1 || python_rc=$?
grep -E "^(stat::|Done)|Error|Traceback|Uncaught" "$build/python.log" || true

engine_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/engine.log")
python_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/python.log")
echo "fuzz: engine ${engine_runs:-?} executions (exit $engine_rc), python ${python_runs:-?} executions (exit $python_rc)"
if [ "$engine_rc" -ne 0 ] || [ "$python_rc" -ne 0 ]; then
  tail -60 "$build/engine.log" "$build/python.log" >&2
  echo "fuzz stage failed; inputs: $(ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* 2>/dev/null)" >&2
  exit 1
fi
