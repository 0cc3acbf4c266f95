"""Wall times of both faces on structured tables, where exact pruning has near neighbours to find.

    PYTHONPATH=build/dev python benchmarks/bench_structured.py [--repeats N] [--tables a,b] [--permute]

Tables (fixed seeds):

  lowrank  20,000 x 32, rank 4 plus noise of sd 0.1, 3% NaN
  tiled    scikit-learn's load_digits tiled to 20,000 rows (64 columns), noise of sd 0.25, 3% NaN
  digits   load_digits itself (1,797 x 64), 10% NaN
  normal   20,000 x 16 standard normal, 10% NaN (no structure: the control)

Faces, each with k = 5 and default parameters otherwise:

  row      mirel.KnnImputer(k=5).fit(X).transform(X)
  fit_tr   mirel.sklearn.KNNImputer().fit_transform(X)
  split    mirel.sklearn.KNNImputer().fit(X[:80%]).transform(X[80%:])

Best wall time of --repeats calls, in this process. --permute reorders the table's rows by
their projection on the first principal direction (NaN cells taken as the column mean) before
timing: the results then differ where distances tie. (Reordering alone does not visit near rows
first: every group still scans from the first block, and the symmetric passes lose the tight
thresholds that a random order gives them; it makes all three faces slower.) Alternate runs of
two builds, the machine may be shared.
"""

from __future__ import annotations

import argparse
import time

import numpy as np


def make_table(kind: str):
    rng = np.random.default_rng(2024)
    if kind == "lowrank":
        rows, cols, rate = 20000, 32, 0.03
        x = rng.standard_normal((rows, 4)) @ rng.standard_normal((4, cols))
        x += 0.1 * rng.standard_normal((rows, cols))
    elif kind in ("tiled", "digits"):
        from sklearn.datasets import load_digits

        digits = load_digits().data.astype(np.float64)
        if kind == "tiled":
            rows, rate = 20000, 0.03
            x = np.tile(digits, (-(-rows // digits.shape[0]), 1))[:rows].copy()
            x += 0.25 * rng.standard_normal(x.shape)
        else:
            rate = 0.10
            x = digits.copy()
    elif kind == "normal":
        rate = 0.10
        x = rng.standard_normal((20000, 16))
    else:
        raise ValueError(f"unknown table {kind!r}")
    x[rng.random(x.shape) < rate] = np.nan
    return x


def projection_order(x):
    """Row order by the projection on the first principal direction of the mean-filled table."""
    filled = np.where(np.isnan(x), np.nanmean(x, axis=0), x)
    centred = filled - filled.mean(axis=0)
    _, _, vt = np.linalg.svd(centred[:: max(1, len(x) // 2000)], full_matrices=False)
    return np.argsort(centred @ vt[0], kind="stable")


def faces(x):
    import mirel
    import mirel.sklearn

    cut = int(0.8 * len(x))
    return {
        "row": lambda: mirel.KnnImputer(k=5).fit(x).transform(x),
        "fit_tr": lambda: mirel.sklearn.KNNImputer().fit_transform(x),
        "split": lambda: mirel.sklearn.KNNImputer().fit(x[:cut]).transform(x[cut:]),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tables", default="lowrank,tiled,digits,normal")
    parser.add_argument("--faces", default="row,fit_tr,split")
    parser.add_argument("--permute", action="store_true")
    args = parser.parse_args()
    for kind in args.tables.split(","):
        x = make_table(kind)
        if args.permute:
            x = np.ascontiguousarray(x[projection_order(x)])
        calls = faces(x)
        for face in args.faces.split(","):
            best = float("inf")
            for _ in range(args.repeats):
                t0 = time.perf_counter()
                calls[face]()
                best = min(best, time.perf_counter() - t0)
            print(f"{kind:8s} {x.shape[0]:6d}x{x.shape[1]:<3d} {face:7s} {best * 1000:9.1f} ms", flush=True)


if __name__ == "__main__":
    main()
