"""mirel's benchmarks: one command, one subcommand per measurement.

    python benchmarks/bench.py                      # the subcommands, one line each
    python benchmarks/bench.py NAME --help          # what NAME measures, and its options
    python benchmarks/bench.py headline             # one table against scikit-learn, here
    python benchmarks/bench.py results              # regenerates benchmarks/RESULTS.md

Every subcommand prints the CPU and the load, then markdown tables. The tables and the calls are
defined once, in benchmarks/tables.py; a subcommand is a module of benchmarks/commands/ (the
file name, with '-' for '_', is its name) holding a docstring, whose first line is its summary,
and `main(argv)`. To add one, drop such a module there: it needs no registration. Measurements
that must not share a process (peak RSS, one library per process) go through
`tables.measure(CALL, TABLE, REPEATS)`, which runs `bench.py worker` in a fresh subprocess.

Run with the module to measure importable (an installed mirel, or PYTHONPATH=build/dev) and the
`bench` extra (scikit-learn, threadpoolctl, psutil, matplotlib). OPENBLAS_CORETYPE /
OPENBLAS_L2_SIZE slow a current NumPy on some machines: `env -u OPENBLAS_CORETYPE -u
OPENBLAS_L2_SIZE` before the command; `versions` lines print what they are.
"""

from __future__ import annotations

import ast
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)


def commands() -> dict[str, str]:
    """name -> module name, for every module of benchmarks/commands."""
    found = {}
    for file in sorted(os.listdir(os.path.join(HERE, "commands"))):
        if file.endswith(".py") and not file.startswith("_"):
            found[file[:-3].replace("_", "-")] = "commands." + file[:-3]
    return found


def summary(module: str) -> str:
    """The first line of the module's docstring, read without importing it (a subcommand may need
    packages that another does not)."""
    path = os.path.join(HERE, *module.split(".")) + ".py"
    with open(path, encoding="utf-8") as f:
        doc = ast.get_docstring(ast.parse(f.read())) or ""
    return doc.splitlines()[0] if doc else ""


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    found = commands()
    if argv and argv[0] == "worker":
        import tables

        tables.worker(argv[1:])
        return 0
    if not argv or argv[0] in ("-h", "--help", "list"):
        print(__doc__)
        for name, module in found.items():
            print(f"  {name:16} {summary(module)}")
        return 0
    name, rest = argv[0], argv[1:]
    if name not in found:
        print(f"bench.py: unknown subcommand {name!r}; known: {', '.join(found)}", file=sys.stderr)
        return 2
    return importlib.import_module(found[name]).main(rest) or 0


if __name__ == "__main__":
    sys.exit(main())
