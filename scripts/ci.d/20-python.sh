#!/usr/bin/env bash
# The Python suites against the installed module (00-deps.sh installed it).
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."
root="$PWD"
cd tests/python   # import the installed module, never a stray build in the tree
"$root/scripts/run-pytest" python3 -m pytest -q -p no:cacheprovider .
