#!/usr/bin/env bash
# The engine's C++ tests and the whole Python suite against an AddressSanitizer +
# UndefinedBehaviorSanitizer build (alignment checks included, every finding fatal).
# The interpreter is not instrumented, so the runtimes are preloaded into it; leak detection
# is off because the interpreter itself never frees everything at exit (leaks are the
# valgrind stage's and tests/python/test_leaks.py's job). Any report fails the stage, even
# one from a child process that a test started and whose exit status was not looked at.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."
build=build/ci-sanitize
reports="$PWD/$build/reports"

cmake -S . -B "$build" -DMIREL_SANITIZE=ON -DMIREL_PYTHON=ON -DMIREL_BUILD_TESTS=ON -DMIREL_WERROR=ON \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2
rm -rf "$reports"
mkdir -p "$reports"

export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
# UBSan reports go to standard error and end the process with status 1.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=1

runtimes="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# Python objects come from malloc, so that ASan sees every allocation the module touches.
export PYTHONMALLOC=malloc
sanitized_python() {
  LD_PRELOAD="$runtimes" PYTHONPATH="$PWD/$build" python3 "$@"
}
export -f sanitized_python  # for scripts/run-pytest
export runtimes build
# The suite must import this build, with the runtimes in place.
sanitized_python -c "
import mirel, sys
assert mirel.__file__.startswith('$PWD/$build/'), mirel.__file__
assert 'libasan' in open('/proc/self/maps').read()
print('sanitized module:', mirel.__file__)
"
# RSS loops measure the process, and ASan holds freed memory in quarantine: they run in the
# plain stage and skip themselves when they see the runtime.
# --capture=sys: a report written straight to file descriptor 2 by a dying process reaches the
# log instead of vanishing with pytest's capture file.
scripts/run-pytest sanitized_python -m pytest -q -p no:cacheprovider --capture=sys tests/python || status=1

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  for f in "$reports"/*; do echo "== $f" >&2; cat "$f" >&2; done
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitizer stage failed" >&2
  exit 1
fi
echo "sanitizers: no reports"
