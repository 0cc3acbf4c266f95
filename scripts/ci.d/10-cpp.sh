#!/usr/bin/env bash
# The engine's own tests, built without Python.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."
build=build/ci-cpp
cmake -S . -B "$build" -DMIREL_PYTHON=OFF -DMIREL_BUILD_TESTS=ON -DMIREL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
