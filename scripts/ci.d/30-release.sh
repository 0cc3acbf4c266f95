#!/usr/bin/env bash
# The two ways a user gets mirel, with the distribution's own interpreter (/usr/bin/python3 on
# Debian and Ubuntu) and nothing of this machine's other Pythons or environments in reach:
# 1. the README's first command, as a new user runs it, in a fresh copy of the repository (what
#    a clean clone holds, plus uncommitted changes when run by hand); the whole transcript;
# 2. the release path: scripts/build-wheels builds the sdist, the wheel from the sdist and
#    repairs it with auditwheel; the repaired wheel goes into a clean environment, which runs
#    the quickstart and the package tests from a directory where the source tree cannot be
#    imported (they must find mirel inside that environment).
# The Python suites themselves run in 20-python.sh (and the other interpreters' stages); here
# only what differs from that build is checked: the install, the package's files and layout.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
root=$PWD
python=/usr/bin/python3

# What a fresh Debian or Ubuntu machine may lack (README, Requirements).
need=()
[ -x "$python" ] || need+=(python3)
"$python" -c "import ensurepip, venv" 2>/dev/null || need+=(python3-venv)
[ -n "$("$python" -c 'import sysconfig, os; h = sysconfig.get_paths()["include"]; print(h if os.path.exists(h + "/Python.h") else "")' 2>/dev/null)" ] || need+=(python3-dev)
command -v g++ >/dev/null || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${need[@]}"
fi

# The command, taken from the README so that the two cannot drift apart.
command=$(grep -m1 -E '^python3 -m venv \.venv && .*examples/quickstart\.py$' "$root/README.md") ||
  { echo "README.md has no 'python3 -m venv .venv && ...' line" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"; stage_cost_report' EXIT
step() { echo "::: $1 ($(($(date +%s) - stage_cost_start)) s into the stage)"; }

# 1. The README command in a fresh copy.
step "the README command in a fresh copy"
copy="$work/mirel"
mkdir "$copy"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -xf - -C "$copy"

(
  cd "$copy"
  echo "\$ cd $copy   # a fresh copy of the repository ($(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo no git))"
  echo "\$ python3 --version   # $python"
  env -i HOME="$work" PATH="$(dirname "$python"):/usr/sbin:/usr/bin:/sbin:/bin" LANG=C.UTF-8 \
    bash -c 'python3 --version; command -v python3'
  echo "\$ $command"
  env -i HOME="$work" PATH="$(dirname "$python"):/usr/sbin:/usr/bin:/sbin:/bin" LANG=C.UTF-8 \
    PIP_DISABLE_PIP_VERSION_CHECK=1 bash -ec "$command"
  # The environment is a plain venv of that interpreter, and it imported the installed package.
  .venv/bin/python - "$python" <<'PY'
import os, sys
import mirel
prefix = os.path.dirname(os.path.dirname(os.path.realpath(sys.argv[1])))
assert sys.base_prefix == prefix, (sys.base_prefix, prefix)
assert os.path.realpath(mirel.__file__).startswith(os.path.realpath(".venv") + os.sep), mirel.__file__
print("fresh install: python %s from %s, mirel at %s" % (sys.version.split()[0], sys.base_prefix, mirel.__file__))
PY
)

# 2. sdist, wheel from the sdist, repair.
step "sdist, wheel and repair (scripts/build-wheels)"
wheels="$root/build/ci-wheel"
rm -rf "$wheels"
mkdir -p "$wheels"
bash "$root/scripts/build-wheels" --python "$python" --out "$wheels/wheelhouse"
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls "$wheels"/wheelhouse/mirel-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null | head -1) || true
[ -n "$wheel" ] || { echo "no repaired manylinux wheel for $tag in $wheels/wheelhouse" >&2; exit 1; }
"$root/build/wheels/tools-venv/bin/auditwheel" show "$wheel"

# 3. The repaired wheel in a clean environment: quickstart and package tests.
step "the repaired wheel in a clean environment"
"$python" -m venv "$wheels/venv"
"$wheels/venv/bin/pip" install -q "$wheel" "pytest>=7"
mkdir "$wheels/run"
cp "$root/tests/python/test_package.py" "$root/examples/quickstart.py" "$wheels/run/"
cd "$wheels/run"
"$wheels/venv/bin/python" - "$wheels/venv" <<'PY'
import os, sys
from importlib.metadata import version
import mirel
venv = os.path.realpath(sys.argv[1])
assert os.path.realpath(mirel.__file__).startswith(venv + os.sep), mirel.__file__
here = os.path.dirname(os.path.realpath(mirel.__file__))
assert {"__init__.pyi", "py.typed"} <= set(os.listdir(here)), os.listdir(here)
print("installed wheel: mirel %s at %s" % (version("mirel"), mirel.__file__))
PY
"$wheels/venv/bin/python" quickstart.py
"$root/scripts/run-pytest" "$wheels/venv/bin/python" -m pytest -q -p no:cacheprovider test_package.py
