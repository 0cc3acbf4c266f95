"""fit_transform on several threads: mirel.sklearn.KNNImputer(n_jobs=j).fit_transform(X) for
j = 1 and 2, alternating, in one run, for one or more builds.

    python benchmarks/bench.py threads [--rows 30000] [--cols 32] [--rate 0.03]
                                                     [--repeats 5] LABEL=PATH [LABEL=PATH ...]

Each PATH is a directory that `import mirel` finds a build in (a CMake build directory or a
venv's site-packages). The table is tables.py's normal table with NaN
cells uniformly at random (fixed seed). Every call runs in a fresh subprocess, the builds and the
thread counts taking turns, so that a change in the machine's speed hits all of them alike.
Printed: the best wall time of each build and thread count, the speed-up of n_jobs=2 over
n_jobs=1, and whether every result, of every build and thread count, is bit for bit the same.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

import tables as T

HERE = T.HERE

WORKER = r"""
import hashlib, json, sys, time
sys.path.insert(0, sys.argv[1])
from tables import make_table
from mirel.sklearn import KNNImputer
rows, cols, rate, jobs = int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
x = make_table(rows, cols, rate)
start = time.perf_counter()
out = KNNImputer(n_jobs=jobs).fit_transform(x)
wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "digest": hashlib.sha256(out.tobytes()).hexdigest()}))
"""


def run_once(path, rows, cols, rate, jobs):
    env = dict(os.environ, PYTHONPATH=path)
    out = subprocess.run(
        [sys.executable, "-c", WORKER, HERE, str(rows), str(cols), str(rate), str(jobs)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py threads", description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=30000)
    parser.add_argument("--cols", type=int, default=32)
    parser.add_argument("--rate", type=float, default=0.03)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("builds", nargs="*", metavar="LABEL=PATH", help="default: the mirel this interpreter imports")
    args = parser.parse_args(argv)
    builds = [b.split("=", 1) for b in args.builds]
    if not builds:
        import mirel

        builds = [["this", os.path.dirname(os.path.dirname(os.path.abspath(mirel.__file__)))]]
    best = {}
    digests = {}
    for _ in range(args.repeats):
        for label, path in builds:
            for jobs in (1, 2):
                r = run_once(os.path.abspath(path), args.rows, args.cols, args.rate, jobs)
                key = (label, jobs)
                best[key] = min(best.get(key, float("inf")), r["wall"])
                digests.setdefault(label, set()).add(r["digest"])
    cpu = T.cpu_name()
    print(T.machine())
    print(f"{args.rows} x {args.cols}, {args.rate:.0%} NaN, best of {args.repeats}; CPU: {cpu}, {os.cpu_count()} cores")
    print("| build | n_jobs=1 | n_jobs=2 | speed-up | bits equal for every n_jobs |")
    print("| --- | ---: | ---: | ---: | --- |")
    for label, _ in builds:
        one, two = best[(label, 1)], best[(label, 2)]
        same = "yes" if len(digests[label]) == 1 else "NO"
        print(f"| {label} | {one:.3f} s | {two:.3f} s | {one / two:.2f}x | {same} |")
    first = digests[builds[0][0]]
    print("bits equal across builds:", "yes" if all(d == first for d in digests.values()) else "NO")
    return 0 if all(d == first and len(d) == 1 for d in digests.values()) else 1
