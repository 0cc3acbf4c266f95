#!/usr/bin/env bash
# The Python suites against the installed module (00-deps.sh installed it).
set -uo pipefail
cd tests/python   # import the installed module, never a stray build in the tree
python3 -m pytest -q -p no:cacheprovider .
rc=$?
if [ "$rc" -eq 5 ]; then
  echo "pytest collected no tests: failing" >&2
  exit 1
fi
exit "$rc"
