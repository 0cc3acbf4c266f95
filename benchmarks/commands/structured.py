"""The structured tables, in the engine benchmark or as files for any other tool.

    python benchmarks/bench.py structured engine [--modes row,split,self] [--normal] [--rounds N] [NAME ...]
    python benchmarks/bench.py structured faces [--repeats N] [--tables NAME,...] [--permute]
    python benchmarks/bench.py structured write DIR [NAME ...]

Tables (tables.STRUCTURED; fixed seeds, so every tool gets the very same cells):

  lowrank     20000 x 32, rank 4 (standard normal factors times a standard normal basis) plus
              noise of standard deviation 0.1, 3% NaN
  digits      scikit-learn's load_digits (1797 x 64, values 0..16) tiled to 20000 rows plus
              noise of standard deviation 0.25, 3% NaN
  loaddigits  load_digits itself (1797 x 64), 3% NaN

Rows of these tables have near neighbours, as rows of real data do (unlike tables of
independent normal cells), so a distance loop that stops measuring a candidate once it cannot
be chosen has work to skip.

`engine` writes each table to a temporary file and runs the engine benchmark on it (built by
benchmarks/bench_engine.sh, build/bench/mirel_bench_engine) once per mode: `row` is the row pass
(mirel.KnnImputer(k=5).fit(X).transform(X)), `split` the query pass of mirel.sklearn (fit on the
first 80% of the rows, transform the rest), `self` its fit_transform. The engine benchmark's
environment (BENCH_KERNEL, BENCH_REPEATS, BENCH_PRUNE, BENCH_FLOOR, ...) passes through.
`--normal` adds the engine benchmark's own random normal tables (2000x20, 5000x20, 10000x32,
20000x8) before them, `--rounds N` runs every mode N times over; at the end, a markdown summary
of the loop floor: the table of benchmarks/RESULTS.md, "The loop floor".

`write` leaves DIR/NAME.f64 (raw little-endian doubles, row-major, NaN for a missing cell) and
prints the engine benchmark's arguments for them ("@DIR/NAME.f64 ROWS COLS").

`faces` times the Python faces in this process, best wall time of --repeats calls, on
tables.STRUCTURED_FACES (the structured set, load_digits with 10% NaN, and a normal 20000 x 16
table with 10% NaN as the control): `row` mirel.KnnImputer(k=5).fit(X).transform(X), `fit_tr`
mirel.sklearn.KNNImputer().fit_transform(X), `split` .fit(X[:80%]).transform(X[80%:]).
--permute reorders the rows by their projection on the first principal direction (NaN cells
taken as the column mean) before timing: the results then differ where distances tie.
(Reordering alone does not visit near rows first: every group still scans from the first
block, and the symmetric passes lose the tight thresholds that a random order gives them; it
makes all three faces slower.)
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import tables as T
from tables import make_table

STRUCTURED = [T.spec(n) for n in T.STRUCTURED]

ENGINE = T.ENGINE
MODES = {"row": None, "split": "split", "self": "self"}


def chosen(names: list[str]) -> list[tuple[str, int, int, float]]:
    known = {t[0]: t for t in STRUCTURED}
    unknown = [n for n in names if n not in known]
    if unknown:
        sys.exit(f"unknown table(s) {unknown}; known: {sorted(known)}")
    return [known[n] for n in names] if names else list(STRUCTURED)


def write(directory: str, tables) -> list[str]:
    """Writes each table to DIRECTORY/NAME.f64; returns the engine benchmark's arguments."""
    os.makedirs(directory, exist_ok=True)
    args = []
    for kind, rows, cols, rate in tables:
        path = os.path.join(directory, f"{kind}.f64")
        make_table(rows, cols, rate, kind=kind).astype("<f8").tofile(path)
        args += ["@" + path, str(rows), str(cols)]
    return args


NORMAL = [f"{v:g}" for n in T.ENGINE_NORMAL for v in T.spec(n)[1:]]


def engine(binary: str, tables, modes: list[str], normal: bool = False, rounds: int = 1) -> None:
    """Runs the engine benchmark on the tables (and, with `normal`, first on its random normal
    tables) in every mode, `rounds` times over; then, when the benchmark printed its loop floor,
    a markdown summary: best CPU time of the pass and of the floor over the rounds, and the
    range of pass / floor."""
    if not os.path.exists(binary):
        sys.exit(f"{binary} is missing: build it with benchmarks/bench_engine.sh --build-only")
    names = {f"{r}x{c}": k for k, r, c, _ in tables}
    results: dict = {}
    print(T.machine())
    with tempfile.TemporaryDirectory() as tmp:
        args = (NORMAL if normal else []) + write(tmp, tables)
        for r in range(rounds):
            for mode in modes:
                env = dict(os.environ)
                env.pop("BENCH_QUERY", None)
                if MODES[mode]:
                    env["BENCH_QUERY"] = MODES[mode]
                print(f"# round {r + 1}, {mode}; load average {os.getloadavg()}", flush=True)
                out = subprocess.run([binary, *args], env=env, check=True, capture_output=True, text=True).stdout
                print(out, end="", flush=True)
                for line in out.splitlines():
                    f = line.split()
                    if len(f) != 12 or "x" not in f[0] or f[0] == "size":
                        continue  # no floor columns, or not a result line
                    # size nan|mode q kernel wall cpu pair-el/s skipped floor ratio floor-el/s build
                    table = f"{names.get(f[0], 'normal')} {f[0]}"
                    entry = results.setdefault((table, mode, f[3]), {"q": f[2], "skipped": f[7], "runs": []})
                    entry["runs"].append((float(f[5]), float(f[8]), float(f[9]), float(f[10])))
    if not results:
        return
    print()
    print("| table | pass | kernel | q | pass CPU s | floor CPU s | pass / floor | floor pair-el/s | skipped |")
    print("| --- " * 9 + "|")
    for (table, mode, kernel), e in results.items():
        runs = e["runs"]
        ratios = sorted(x[2] for x in runs)
        spread = f"{ratios[0]:.2f}" if ratios[0] == ratios[-1] else f"{ratios[0]:.2f} to {ratios[-1]:.2f}"
        print(
            f"| {table} | {mode} | {kernel} | {e['q']} | {min(x[0] for x in runs):.4f} | "
            f"{min(x[1] for x in runs):.4f} | {spread} | {max(x[3] for x in runs):.2e} | {e['skipped']} |"
        )


def projection_order(x):
    """Row order by the projection on the first principal direction of the mean-filled table."""
    import numpy as np

    filled = np.where(np.isnan(x), np.nanmean(x, axis=0), x)
    centred = filled - filled.mean(axis=0)
    _, _, vt = np.linalg.svd(centred[:: max(1, len(x) // 2000)], full_matrices=False)
    return np.argsort(centred @ vt[0], kind="stable")


def faces(names: list[str], chosen_faces: list[str], repeats: int, permute: bool) -> None:
    import numpy as np

    import mirel
    import mirel.sklearn

    print(T.machine())
    print(f"best wall time of {repeats} calls in this process{'; rows permuted' if permute else ''}\n")
    rows_out = []
    for name in names:
        x = T.table(name)
        if permute:
            x = np.ascontiguousarray(x[projection_order(x)])
        cut = int(0.8 * len(x))
        calls = {
            "row": lambda x=x: mirel.KnnImputer(k=5).fit(x).transform(x),
            "fit_tr": lambda x=x: mirel.sklearn.KNNImputer().fit_transform(x),
            "split": lambda x=x, cut=cut: mirel.sklearn.KNNImputer().fit(x[:cut]).transform(x[cut:]),
        }
        cells = [name]
        for face in chosen_faces:
            best = float("inf")
            for _ in range(repeats):
                t0 = time.perf_counter()
                calls[face]()
                best = min(best, time.perf_counter() - t0)
            cells.append(T.seconds(best))
        rows_out.append(cells)
    print(T.markdown(["table"] + chosen_faces, rows_out))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py structured", description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("engine", help="run the engine benchmark on the tables")
    run.add_argument("--engine", default=ENGINE)
    run.add_argument("--modes", default="row,split,self", help="comma-separated: row, split, self")
    run.add_argument("--normal", action="store_true", help="also the engine benchmark's random normal tables")
    run.add_argument("--rounds", type=int, default=1, help="runs of every mode, one after the other")
    run.add_argument("names", nargs="*")
    py = sub.add_parser("faces", help="time the Python faces on the structured tables")
    py.add_argument("--repeats", type=int, default=3)
    py.add_argument("--tables", default=",".join(T.STRUCTURED_FACES))
    py.add_argument("--faces", default="row,fit_tr,split")
    py.add_argument("--permute", action="store_true")
    save = sub.add_parser("write", help="write the tables as raw doubles")
    save.add_argument("directory")
    save.add_argument("names", nargs="*")
    args = parser.parse_args(argv)
    if args.command == "faces":
        faces(args.tables.split(","), args.faces.split(","), args.repeats, args.permute)
        return
    if args.command == "write":
        print(" ".join(write(args.directory, chosen(args.names))))
        return
    modes = [m for m in args.modes.split(",") if m]
    if any(m not in MODES for m in modes):
        parser.error(f"modes are {', '.join(MODES)}")
    engine(args.engine, chosen(args.names), modes, args.normal, args.rounds)
