#!/usr/bin/env bash
# The type stub against the installed module (mypy.stubtest: every name, signature and
# default must match), and mypy --strict over the examples and a file of correct uses and
# misuses (tests/typing: every misuse must be reported, since an unused "type: ignore" is an
# error). Runs from build/ so that only the installed mirel can be imported.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
root=$PWD
python3 -m pip install -q "mypy>=1.10" pandas-stubs "typing_extensions>=4.0" "scikit-learn>=1.6"
mkdir -p build
cd build
echo "mypy $(python3 -m mypy --version | cut -d' ' -f2); mirel from $(python3 -c 'import mirel; print(mirel.__file__)')"
echo "\$ python3 -m mypy.stubtest mirel"
python3 -m mypy.stubtest mirel
echo "\$ python3 -m mypy --strict examples tests/typing"
python3 -m mypy --config-file "$root/pyproject.toml" --strict "$root/examples" "$root/tests/typing"
echo "\$ python3 docs/gen_api.py --check"
python3 "$root/docs/gen_api.py" --check
