"""Two or more builds of mirel's Python faces, side by side in one run.

    python benchmarks/bench.py builds [--rounds N] [--quick] LABEL=PATH ...

Each PATH is a directory that `import mirel` finds the build in (a CMake build directory such
as build/dev, or a venv's site-packages). For every round, table and call the builds run one
after the other, each in a fresh subprocess, so that a change in the machine's speed hits all of
them alike. Printed: the best wall time of each build per call, and each build's time over the
first build's (above 1: slower than the first).

Calls, on the tables of tables.COMPARE (fixed seeds, the same table for every build):

  KnnImputer:          mirel.KnnImputer(k=5).fit(X).transform(X)
  sklearn split:       mirel.sklearn.KNNImputer().fit(X[:80%]).transform(X[80%:])
  sklearn fit_transform: mirel.sklearn.KNNImputer().fit_transform(X)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

import tables as T

SIZES = [T.spec(n) for n in T.COMPARE]
QUICK_SIZES = [T.spec(n) for n in T.QUICK]

CALLS = ("KnnImputer", "sklearn split", "sklearn fit_transform")

WORKER = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
from tables import make_table
import mirel
from mirel.sklearn import KNNImputer
kind, rows, cols, rate, repeats = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]), int(sys.argv[6])
x = make_table(rows, cols, rate, kind=kind)
cut = int(rows * 0.8)
calls = {
    "KnnImputer": lambda: mirel.KnnImputer(k=5).fit(x).transform(x),
    "sklearn split": lambda: KNNImputer().fit(x[:cut]).transform(x[cut:]),
    "sklearn fit_transform": lambda: KNNImputer().fit_transform(x),
}
best = {}
for name, call in calls.items():
    call()  # warm: first-use costs of the process are not the call's
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    best[name] = min(times)
json.dump({"file": mirel.__file__, "best": best}, sys.stdout)
"""


def run(path: str, table, repeats: int) -> dict:
    kind, rows, cols, rate = table
    env = {**os.environ, "PYTHONPATH": path}
    out = subprocess.run(
        [
            sys.executable,
            "-c",
            WORKER,
            T.HERE,
            kind,
            str(rows),
            str(cols),
            str(rate),
            str(repeats),
        ],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py builds", description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("builds", nargs="+", metavar="LABEL=PATH")
    args = parser.parse_args(argv)
    builds = [b.split("=", 1) for b in args.builds]
    tables = QUICK_SIZES if args.quick else SIZES
    best: dict = {}
    for _ in range(args.rounds):
        for table in tables:
            for label, path in builds:
                result = run(path, table, args.repeats)
                for call, seconds in result["best"].items():
                    key = (table, call, label)
                    best[key] = min(best.get(key, float("inf")), seconds)
    print(T.machine())
    for label, path in builds:
        print(f"- {label}: {path}")
    print()
    head = ["table", "call"] + [label for label, _ in builds] + [f"{label} / {builds[0][0]}" for label, _ in builds[1:]]
    rows_out = []
    for table in tables:
        kind, rows, cols, rate = table
        for call in CALLS:
            times = [best[(table, call, label)] for label, _ in builds]
            rows_out.append(
                [T.name_of(*table), call] + [T.seconds(t) for t in times] + [f"{t / times[0]:.3f}" for t in times[1:]]
            )
    print(T.markdown(head, rows_out, right=2))
