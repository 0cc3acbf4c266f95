#!/usr/bin/env bash
# A short valgrind memcheck run of the core Python suites with PYTHONMALLOC=malloc, so that
# every Python object is a malloc block valgrind can follow. It fails on a definite leak or a
# memory error that involves mirel's shared object (tests/valgrind/check_report.py); what lies
# wholly inside the interpreter or NumPy is listed, not failed on.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."
build=build/ci-valgrind
if ! command -v valgrind >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q valgrind
fi
cmake -S . -B "$build" -DMIREL_PYTHON=ON -DMIREL_BUILD_TESTS=OFF -DMIREL_WERROR=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
reports="$PWD/$build/reports"
rm -rf "$reports" && mkdir -p "$reports"

# The suites that drive every path of the module; slow ones (properties, leak loops, memory
# exhaustion in child processes, threads) run in the other stages.
suites="tests/python/test_module.py tests/python/test_convert.py tests/python/test_fit_transform.py
        tests/python/test_reentrance.py tests/python/test_hostile.py tests/python/test_hostile_frames.py"
# The interpreter itself, not a launcher script in front of it (pyenv shims are shell scripts).
python=$(python3 -c 'import sys; print(sys.executable)')
status=0
PYTHONMALLOC=malloc MIREL_UNDER_VALGRIND=1 PYTHONPATH="$PWD/$build" \
  scripts/run-pytest valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
           --num-callers=40 --track-origins=yes --trace-children=no --xml=yes --xml-file="$reports/memcheck.%p.xml" \
  "$python" -m pytest -q -p no:cacheprovider --capture=sys $suites -k "not threads" || status=1
python3 tests/valgrind/check_report.py "$build/mirel" "$reports"/memcheck.*.xml || status=1
exit "$status"
