#!/usr/bin/env bash
# The fast Python suites on every other CPython minor version that requires-python admits and
# this machine provides (python3.X on PATH or under pyenv), with the installed file name and
# the memory accounting checked too; 20-python.sh runs the whole suite
# on the default python3. Each version gets its own venv under build/ (kept between runs),
# the module installed into it with pip, and the suites run from tests/python so that only the
# installed module is imported. A version the machine lacks is reported and skipped.
#
#   MIREL_CPYTHON_VERSIONS="3.9 3.13" scripts/ci.d/25-cpython-versions.sh   # a chosen subset
set -uo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."

suites=(test_module.py test_convert.py test_fit_transform.py test_differential.py test_package.py
        test_memory_accounting.py)
default=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# The minor versions requires-python admits, from 3.9 (its lower bound) to the newest release.
admitted=$(python3 - <<'PY'
import re
from pip._vendor.packaging.specifiers import SpecifierSet
text = open("pyproject.toml", encoding="utf-8").read()
spec = SpecifierSet(re.search(r'^requires-python\s*=\s*"([^"]*)"', text, re.M).group(1))
print(" ".join(v for v in (f"3.{m}" for m in range(6, 15)) if spec.contains(f"{v}.0")))
PY
) || exit 1
versions=${MIREL_CPYTHON_VERSIONS:-$admitted}

# A pyenv shim on PATH exists whether or not it can run that version: ask each candidate.
find_python() {
  local v=$1 candidate
  for candidate in "$(command -v "python$v" 2>/dev/null)" \
      "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/"python$v"; do
    [ -x "$candidate" ] || continue
    if [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$v" ]; then
      echo "$candidate"
      return
    fi
  done
  return 1
}

export CMAKE_BUILD_PARALLEL_LEVEL=2
results=()
failed=0
stage_start=$(date +%s)
for v in $versions; do
  [ "$v" = "$default" ] && [ -z "${MIREL_CPYTHON_VERSIONS:-}" ] && continue
  start=$(date +%s)
  if ! python=$(find_python "$v"); then
    results+=("CPython $v: not on this machine, skipped")
    continue
  fi
  venv="$PWD/build/ci-py$v-venv"
  py="$venv/bin/python"
  if ! "$py" -c "import numpy, pandas, pytest, hypothesis, scikit_build_core" 2>/dev/null; then
    rm -rf "$venv"
    "$python" -m venv "$venv" &&
      "$py" -m pip install -q "numpy>=1.21" "pandas>=1.3" "pytest>=7" "hypothesis>=6" \
        "scikit-build-core>=0.10" || { results+=("CPython $v: could not set up the venv"); failed=1; continue; }
  fi
  if ! "$py" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
      --config-settings=build-dir="build/ci-py$v" --config-settings=cmake.define.MIREL_WERROR=ON .; then
    results+=("CPython $v: the module did not build")
    failed=1
    continue
  fi
  log="$PWD/build/ci-py$v-pytest.log"
  (cd tests/python && "$py" -m pytest -q -rs -p no:cacheprovider "${suites[@]}") >"$log" 2>&1
  rc=$?
  tail -n 15 "$log"
  summary=$(grep -E '(passed|failed|error).* in [0-9.]+s' "$log" | tail -n 1)
  results+=("CPython $("$py" -c 'import platform; print(platform.python_version())'), numpy $("$py" -c 'import numpy; print(numpy.__version__)'): exit $rc: ${summary:-no summary} [$(( $(date +%s) - start ))s]")
  # pytest's 5: nothing collected, which is a failure here too.
  [ "$rc" -eq 0 ] || failed=1
done

echo "::: CPython versions (${suites[*]}), $(( $(date +%s) - stage_start ))s:"
printf '  %s\n' "${results[@]}"
exit "$failed"
