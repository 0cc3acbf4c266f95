#!/usr/bin/env bash
# The whole Python suite under PyPy 3.9 (Debian's pypy3): the module built against PyPy's
# implementation of the C API (cpyext) and tested with NumPy's PyPy wheels.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."
root="$PWD"

need=()
command -v pypy3 >/dev/null || need+=(pypy3)
[ -f /usr/include/pypy3.9/Python.h ] || need+=(pypy3-dev)
dpkg -s pypy3-venv >/dev/null 2>&1 || need+=(pypy3-venv)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || exit 1
  apt-get install -y -q "${need[@]}" || exit 1
fi

venv="$PWD/build/ci-pypy-venv"
py="$venv/bin/python"
# NumPy publishes PyPy 3.9 wheels up to the 2.0 series. psutil 7 uses a C API function that
# PyPy 7.3 lacks (it builds, then fails to import), so take the 6 series (built from source).
if ! "$py" -c "import numpy, pytest, hypothesis, psutil, scikit_build_core" 2>/dev/null; then
  rm -rf "$venv"
  pypy3 -m venv "$venv" || exit 1
  "$py" -m pip install -q "numpy>=2.0,<2.1" "pytest>=7" "hypothesis>=6" "psutil<7" \
    "scikit-build-core>=0.10" || exit 1
fi
# pandas publishes no PyPy wheel; building it from source takes far too long for CI, so its
# suites skip here (pytest.importorskip) unless a wheel turns up.
if ! "$py" -c "import pandas" 2>/dev/null; then
  "$py" -m pip install -q --only-binary :all: "pandas>=1.3" >/dev/null 2>&1 ||
    echo "no pandas wheel for PyPy: the pandas tests will skip"
fi

"$py" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
  --config-settings=cmake.define.MIREL_WERROR=ON . || exit 1

cd tests/python   # import the installed module, never a stray build in the tree
"$py" -c "import platform, mirel; assert platform.python_implementation() == 'PyPy'; print('mirel loaded into', platform.python_implementation(), platform.python_version())" || exit 1
"$root/scripts/run-pytest" "$py" -m pytest -q -rs -p no:cacheprovider .
