"""The structured tables, in the engine benchmark or as files for any other tool.

    python benchmarks/structured_tables.py engine [--modes row,split,self] [--engine PATH] [NAME ...]
    python benchmarks/structured_tables.py write DIR [NAME ...]

Tables (bench_impute.STRUCTURED; fixed seeds, so every tool gets the very same cells):

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

`write` leaves DIR/NAME.f64 (raw little-endian doubles, row-major, NaN for a missing cell) and
prints the engine benchmark's arguments for them ("@DIR/NAME.f64 ROWS COLS").

The Python faces time the same tables through bench_impute.make_table(rows, cols, rate,
kind=NAME), as bench_peers.py does.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_impute import STRUCTURED, make_table  # noqa: E402

ENGINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "mirel_bench_engine")
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


def engine(binary: str, tables, modes: list[str]) -> None:
    if not os.path.exists(binary):
        sys.exit(f"{binary} is missing: build it with benchmarks/bench_engine.sh 10 2 0")
    with tempfile.TemporaryDirectory() as tmp:
        args = write(tmp, tables)
        for mode in modes:
            env = dict(os.environ)
            env.pop("BENCH_QUERY", None)
            if MODES[mode]:
                env["BENCH_QUERY"] = MODES[mode]
            print(f"# {mode}: {', '.join(f'{k} {r}x{c} nan {p}' for k, r, c, p in tables)}", flush=True)
            out = subprocess.run([binary, *args], env=env, check=True, capture_output=True, text=True).stdout
            print(out, end="", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("engine", help="run the engine benchmark on the tables")
    run.add_argument("--engine", default=ENGINE)
    run.add_argument("--modes", default="row,split,self", help="comma-separated: row, split, self")
    run.add_argument("names", nargs="*")
    save = sub.add_parser("write", help="write the tables as raw doubles")
    save.add_argument("directory")
    save.add_argument("names", nargs="*")
    args = parser.parse_args()
    if args.command == "write":
        print(" ".join(write(args.directory, chosen(args.names))))
        return
    modes = [m for m in args.modes.split(",") if m]
    if any(m not in MODES for m in modes):
        parser.error(f"modes are {', '.join(MODES)}")
    engine(args.engine, chosen(args.names), modes)


if __name__ == "__main__":
    main()
