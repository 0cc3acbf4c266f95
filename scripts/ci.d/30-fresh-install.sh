#!/usr/bin/env bash
# The README's first command, as a new user runs it: in a fresh copy of the repository (what
# a clean clone holds, plus uncommitted changes when run by hand), with the distribution's own
# interpreter (/usr/bin/python3 on Debian and Ubuntu) first on PATH and nothing of this
# machine's other Pythons or environments in reach. Prints the whole transcript.
set -euo pipefail
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
trap 'rm -rf "$work"' EXIT
copy="$work/mirel"
mkdir "$copy"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -xf - -C "$copy"

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
