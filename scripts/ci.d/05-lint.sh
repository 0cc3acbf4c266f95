#!/usr/bin/env bash
# Fast checks of form before anything is built: clang-format on every C++ file, ruff (lint and
# format) on every Python file, clang-tidy (.clang-tidy: bug-prone and performance checks) on
# the engine and on the binding. Fix with: clang-format-14 -i FILES; ruff check --fix .; ruff format .
# The binding is checked with the Python and NumPy headers of MIREL_LINT_PYTHON (default
# python3; without NumPy there, NumPy is installed into build/lint-venv for its headers).
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."

need=()
command -v clang-format-14 >/dev/null || need+=(clang-format-14)
command -v clang-tidy-14 >/dev/null || need+=(clang-tidy-14)
command -v cmake >/dev/null || need+=(cmake)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${need[@]}"
fi
ruff=ruff
if ! command -v ruff >/dev/null; then
  python3 -m venv build/lint-venv
  build/lint-venv/bin/python -m pip install -q "ruff==0.17.6"
  ruff=build/lint-venv/bin/ruff
fi

status=0
# 1. C++ layout.
git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format-14 --dry-run --Werror || status=1
# 2. Python.
"$ruff" check . || status=1
"$ruff" format --check . || status=1
# 3. The engine under clang-tidy, with the build's own flags (configure only, no build).
build=build/lint
cmake -S . -B "$build" -DMIREL_PYTHON=OFF -DMIREL_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# Findings go to standard output; the "N warnings generated" counts (system headers) are dropped.
git ls-files 'src/knn/*.cpp' | xargs clang-tidy-14 -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option \
  2>"$build/clang-tidy.stderr" || { cat "$build/clang-tidy.stderr" >&2; status=1; }
# 4. The binding (src/module, src/utils) under clang-tidy: a configure with the extension
#    modules, so that the compile commands carry the Python and NumPy include directories.
python=${MIREL_LINT_PYTHON:-python3}
if ! "$python" -c "import numpy" 2>/dev/null; then
  [ -x build/lint-venv/bin/python ] || python3 -m venv build/lint-venv
  build/lint-venv/bin/python -m pip install -q numpy
  python=build/lint-venv/bin/python
fi
pybuild=build/lint-python
cmake -S . -B "$pybuild" -DMIREL_PYTHON=ON -DMIREL_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
git ls-files 'src/module/*.cpp' 'src/utils/*.cpp' | xargs clang-tidy-14 -p "$pybuild" --quiet \
  --extra-arg=-Wno-unknown-warning-option 2>"$pybuild/clang-tidy.stderr" || {
  cat "$pybuild/clang-tidy.stderr" >&2
  status=1
}
if [ "$status" -ne 0 ]; then
  echo "lint stage failed" >&2
  exit 1
fi
echo "lint: clang-format, ruff and clang-tidy (engine and binding) clean"
