#!/usr/bin/env bash
# The release path for CPython 3.11 (or whatever python3 is here): scripts/build-wheels builds
# the wheel from the sdist and repairs it with auditwheel; the repaired wheel goes into a fresh
# environment, and the fast suites run against it from a directory where the source tree
# cannot be imported (they must find mirel inside that environment).
set -uo pipefail
root=$PWD
work="$root/build/ci-wheel"
rm -rf "$work"
mkdir -p "$work"
py=$(python3 -c 'import sys; print(sys.executable)')
bash scripts/build-wheels --python "$py" --out "$work/wheelhouse" || exit 1
tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls "$work"/wheelhouse/mirel-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || { echo "no repaired manylinux wheel for $tag in $work/wheelhouse" >&2; exit 1; }
"$root/build/wheels/tools-venv/bin/auditwheel" show "$wheel" || exit 1

"$py" -m venv "$work/venv" || exit 1
"$work/venv/bin/pip" install -q "$wheel" "pytest>=7" "hypothesis>=6" "pandas>=1.3" "psutil>=5" || exit 1
cp -r "$root/tests/python" "$work/tests"
cd "$work/tests"
"$work/venv/bin/python" - "$work/venv" <<'PY' || exit 1
import os, sys
from importlib.metadata import version
import mirel
venv = os.path.realpath(sys.argv[1])
assert os.path.realpath(mirel.__file__).startswith(venv + os.sep), mirel.__file__
here = os.path.dirname(os.path.realpath(mirel.__file__))
assert {"__init__.pyi", "py.typed"} <= set(os.listdir(here)), os.listdir(here)
print("installed wheel: mirel %s at %s" % (version("mirel"), mirel.__file__))
PY
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider test_module.py test_convert.py \
  test_fit_transform.py test_differential.py test_package.py test_frame_errors.py
rc=$?
[ "$rc" -eq 5 ] && { echo "pytest collected no tests: failing" >&2; exit 1; }
exit "$rc"
