"""Both faces of mirel against scikit-learn's KNNImputer, table by table, side by side in one run.

    python benchmarks/bench.py compare [--tables NAME,...] [--quick] [--large] [--calls CALL,...]
                                       [--mirel-repeats N] [--sklearn-repeats N] [--n-jobs J]

Calls (5 neighbours, default parameters otherwise; tables.py names them):

  KnnImputer            mirel.KnnImputer(k=5).fit(X).transform(X), against sklearn fit_transform
  mirel.sklearn         mirel.sklearn.KNNImputer(n_neighbors=5).fit_transform(X), against the same
  mirel.sklearn split   KNNImputer(n_neighbors=5).fit(X[:80%]).transform(X[80%:]), against sklearn's

Every measurement runs in a fresh subprocess (`bench.py worker`), so that its peak RSS belongs to
one library on one table; each first makes the same call on a 20-row table (one-time costs of
a process are not the table's). mirel runs again after scikit-learn and the better wall time
counts (a change in the machine's speed then hits both alike); --large adds a 50,000-row table
with one call of each library. Printed per table and call: best wall time of the repeats, the
worker's CPU time (scikit-learn's BLAS may use both cores, so its CPU time can exceed its wall
time; mirel starts no thread unless --n-jobs asks), "+MiB" = peak RSS less the RSS before the
first timed call (input copies, result and all working memory), the ratios scikit-learn / mirel
of the wall and CPU times, the largest difference between the two results (the libraries rank and
average the same way up to ties and rounding; a large value would mean different work), and for
the row pass the fraction of pair-elements that pruning skipped (from the engine benchmark on the
same table; '-' when build/bench/mirel_bench_engine is not built: `bench.py engine` builds it).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import tempfile

import tables as T

CALLS = ("KnnImputer", "mirel.sklearn", "mirel.sklearn split")


def opponent(call: str) -> str:
    return "sklearn split" if call.endswith(" split") else "sklearn"


def engine_skipped(name: str, engine: str = T.ENGINE):
    """The fraction of lane-columns the kernels skipped on this very table, from the engine
    benchmark (the counter is not reachable from `import mirel`): None when it is not built."""
    if not engine or not os.path.exists(engine):
        return None
    kind, rows, cols, rate = T.spec(name)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "table.f64")
        T.make_table(rows, cols, rate, kind=kind).astype("<f8").tofile(path)
        env = dict(os.environ, BENCH_REPEATS="1", BENCH_FLOOR="0")
        env.pop("BENCH_QUERY", None)
        out = subprocess.run(
            [engine, "@" + path, str(rows), str(cols)], check=True, capture_output=True, text=True, env=env
        ).stdout
    # The last kernel listed is the one `import mirel` uses (the fastest available).
    lines = [line.split() for line in out.splitlines() if line.startswith(f"{rows}x{cols}")]
    return float(lines[-1][7]) if lines and len(lines[-1]) > 7 else None


def run(names, calls=CALLS, mirel_repeats=3, sklearn_repeats=1, large=(), n_jobs=None, skipped=True) -> list[dict]:
    """Measures and prints; returns one record per table and call (for `results`)."""
    import numpy as np

    print(T.machine())
    print(T.versions())
    print(f"mirel n_jobs={n_jobs}; mirel best of {mirel_repeats} (twice), scikit-learn best of {sklearn_repeats}")
    print()
    records = []
    rows_out = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in list(names) + list(large):
            once = name in large
            theirs: dict = {}
            for call in calls:
                mine = (
                    call
                    if n_jobs is None or call == "KnnImputer"
                    else call.replace("mirel.sklearn", f"mirel.sklearn/{n_jobs}")
                )
                a, b = os.path.join(tmp, "mirel.npy"), os.path.join(tmp, f"{opponent(call)}.npy")
                mi = T.measure(mine, name, 1 if once else mirel_repeats, a)
                if opponent(call) not in theirs:
                    theirs[opponent(call)] = T.measure(opponent(call), name, 1 if once else sklearn_repeats, b)
                sk = theirs[opponent(call)]
                if not once:
                    again = T.measure(mine, name, mirel_repeats)
                    if again["wall"] < mi["wall"]:
                        mi.update(wall=again["wall"], cpu=min(mi["cpu"], again["cpu"]))
                diff = float(np.nanmax(np.abs(np.load(a) - np.load(b))))
                skip = engine_skipped(name) if skipped and call == "KnnImputer" else None
                rec = {"table": name, "call": call, "q": mi["query_rows"], "mirel": mi, "sklearn": sk, "diff": diff}
                rec["skipped"] = skip
                records.append(rec)
                extra = lambda r: r["peak_rss"] - r["rss_before"]  # noqa: E731
                rows_out.append(
                    [
                        name,
                        call,
                        str(mi["query_rows"]),
                        T.seconds(mi["wall"]),
                        T.seconds(mi["cpu"]),
                        T.mib(extra(mi)),
                        T.seconds(sk["wall"]),
                        T.seconds(sk["cpu"]),
                        T.mib(extra(sk)),
                        f"{sk['wall'] / mi['wall']:.1f}x",
                        f"{sk['cpu'] / mi['cpu']:.1f}x",
                        f"{diff:.1e}",
                        "-" if skip is None else f"{skip:.3f}",
                    ]
                )
                print(f"  {name} {call}: mirel {T.seconds(mi['wall'])}, sklearn {T.seconds(sk['wall'])}", flush=True)
    print()
    head = ["table", "call", "q", "mirel", "CPU", "+MiB", "sklearn", "CPU", "+MiB", "wall ratio", "CPU ratio"]
    print(T.markdown(head + ["max abs diff", "skipped"], rows_out, right=2))
    print(f"\nload average at the end {T.load()}")
    return records


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py compare", description=__doc__.splitlines()[0])
    parser.add_argument("--tables", help=f"comma-separated table names (default: {','.join(T.COMPARE)})")
    parser.add_argument("--quick", action="store_true", help=f"small tables: {','.join(T.QUICK)}")
    parser.add_argument("--large", action="store_true", help=f"also {','.join(T.COMPARE_LARGE)}, one call each")
    parser.add_argument("--calls", default=",".join(CALLS), help=f"comma-separated, of: {', '.join(CALLS)}")
    parser.add_argument("--mirel-repeats", type=int, default=3)
    parser.add_argument("--sklearn-repeats", type=int, default=1)
    parser.add_argument("--n-jobs", type=int, help="mirel.sklearn's n_jobs (default None: one thread)")
    parser.add_argument("--no-skipped", action="store_true", help="leave out the engine benchmark's skipped column")
    args = parser.parse_args(argv)
    names = args.tables.split(",") if args.tables else (T.QUICK if args.quick else T.COMPARE)
    calls = [c for c in args.calls.split(",") if c]
    for name in names:
        try:
            T.spec(name)
        except ValueError as e:
            parser.error(str(e))
    if any(c not in CALLS for c in calls):
        parser.error(f"calls are {', '.join(CALLS)}")
    large = T.COMPARE_LARGE if args.large else []
    run(names, calls, args.mirel_repeats, args.sklearn_repeats, large, args.n_jobs, not args.no_skipped)
