"""Small tables: the fixed cost of one call, mirel.sklearn.KNNImputer against scikit-learn.

    python benchmarks/bench.py small [--repeats N] [--rounds R] [--blas-threads T] [--tables iris,wine,...]

Tables: scikit-learn's bundled datasets iris (150 x 4), wine (178 x 13), diabetes (442 x 10)
and digits (1797 x 64), as float64, with 10% of the cells set to NaN: the cells are drawn
uniformly without replacement with numpy.random.default_rng(0) (one draw per table). Nothing
else is done to them: a row or column may end up without any value (none does with this seed
for these tables, but the call handles it either way).

Timed call: ``KNNImputer().fit_transform(X)`` with default parameters (n_neighbors=5, uniform
weights, one thread: n_jobs=None), for mirel.sklearn.KNNImputer and sklearn.impute.KNNImputer,
a new estimator per call. scikit-learn's distances go through BLAS, which may start threads of
its own: --blas-threads (default 1, through threadpoolctl) caps them so that both libraries run
on one thread; 0 leaves BLAS as it is. The two libraries alternate within one run: R rounds, each timing N
calls of one library then N of the other; a library's figure is the median over all its calls
(and the best is shown beside it). ratio = scikit-learn median / mirel median. For reference,
``mirel.KnnImputer().fit(X).transform(X)`` (the row-paired tool, a different contract) is timed
the same way.

The outputs of the two KNNImputers are checked before timing: the same NaN positions and
np.allclose, except for cells whose 5th and 6th nearest donors are equally far (iris and digits
have repeated rows and integer values): there the two libraries may pick different donors
(mirel takes the lower row index, scikit-learn whatever numpy.argpartition leaves first); every
cell that differs must be such a cell. The largest difference over the other cells, and the
count of differing tied cells, are printed.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import sklearn
import tables as T
from sklearn.impute import KNNImputer as SkKNNImputer
from sklearn.metrics.pairwise import nan_euclidean_distances
from threadpoolctl import threadpool_limits

import mirel
from mirel.sklearn import KNNImputer as MirelKNNImputer

LOADERS = T.SMALL


def table(name: str) -> np.ndarray:
    """The dataset's features as float64 with 10% of its cells set to NaN (fixed seed)."""
    return T.small_table(name)


def tied(X: np.ndarray, row: int, col: int, k: int = 5) -> bool:
    """Whether the k-th and (k+1)-th nearest donors of cell (row, col) are equally far."""
    donors = np.flatnonzero(~np.isnan(X[:, col]))
    if donors.size <= k:
        return False
    d = np.sort(nan_euclidean_distances(X[row : row + 1], X[donors])[0])
    return bool(abs(d[k - 1] - d[k]) <= 1e-9 * max(1.0, d[k]))


def compare(name: str, X: np.ndarray, ours: np.ndarray, theirs: np.ndarray) -> tuple[float, int]:
    """(largest difference outside tied cells, count of tied cells that differ); exits on a
    disagreement."""
    if ours.shape != theirs.shape or not np.array_equal(np.isnan(ours), np.isnan(theirs)):
        raise SystemExit(f"{name}: mirel.sklearn and scikit-learn disagree on shape or NaN positions")
    differ = ~np.isclose(ours, theirs, equal_nan=True)
    cells = list(zip(*np.nonzero(differ)))
    if not all(tied(X, r, c) for r, c in cells):
        raise SystemExit(f"{name}: mirel.sklearn and scikit-learn disagree outside tied cells")
    rest = np.where(differ, 0.0, np.abs(ours - theirs))
    return (float(np.nanmax(rest)) if rest.size else 0.0), len(cells)


def timings(call, X: np.ndarray, n: int) -> list[float]:
    out = []
    for _ in range(n):
        t0 = time.perf_counter()
        call(X)
        out.append(time.perf_counter() - t0)
    return out


CALLS = {
    "mirel.sklearn": lambda X: MirelKNNImputer().fit_transform(X),
    "sklearn": lambda X: SkKNNImputer().fit_transform(X),
    "mirel.KnnImputer": lambda X: mirel.KnnImputer().fit(X).transform(X),
}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="bench.py small", description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=50, help="calls per library and round (default 50)")
    parser.add_argument("--rounds", type=int, default=10, help="alternating rounds (default 10)")
    parser.add_argument("--blas-threads", type=int, default=1, help="BLAS threads (default 1; 0: as it is)")
    parser.add_argument("--tables", default=",".join(LOADERS), help="comma-separated datasets (default: all four)")
    args = parser.parse_args(argv)
    names = args.tables.split(",")
    unknown = [name for name in names if name not in LOADERS]
    if unknown:
        parser.error(f"unknown tables: {', '.join(unknown)} (known: {', '.join(LOADERS)})")
    if args.blas_threads > 0:
        threadpool_limits(limits=args.blas_threads, user_api="blas")

    print(T.machine())
    print(f"NumPy {np.__version__}, scikit-learn {sklearn.__version__}")
    blas = f"BLAS threads capped at {args.blas_threads}" if args.blas_threads > 0 else "BLAS threads as they are"
    print(
        f"median (best) of {args.rounds} x {args.repeats} calls per library, alternating; mirel on one thread, {blas}\n"
    )
    print("| table | shape | mirel.sklearn ms | sklearn ms | ratio | mirel.KnnImputer ms | max abs diff | tied cells |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name in names:
        X = table(name)
        ours = CALLS["mirel.sklearn"](X)
        theirs = CALLS["sklearn"](X)
        diff, ties = compare(name, X, ours, theirs)
        samples = {key: [] for key in CALLS}
        for _ in range(args.rounds):
            for key, call in CALLS.items():
                samples[key] += timings(call, X, args.repeats)
        med = {key: statistics.median(v) * 1e3 for key, v in samples.items()}
        best = {key: min(v) * 1e3 for key, v in samples.items()}
        print(
            f"| {name} | {X.shape[0]} x {X.shape[1]} "
            f"| {med['mirel.sklearn']:.3f} ({best['mirel.sklearn']:.3f}) "
            f"| {med['sklearn']:.3f} ({best['sklearn']:.3f}) "
            f"| {med['sklearn'] / med['mirel.sklearn']:.1f}x "
            f"| {med['mirel.KnnImputer']:.3f} ({best['mirel.KnnImputer']:.3f}) "
            f"| {diff:.2e} | {ties} |"
        )
