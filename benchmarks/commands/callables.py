"""The callable paths: mirel.sklearn.KNNImputer against scikit-learn with the same callables.

    python benchmarks/bench.py callables [--repeats N] [--blas-threads T] [--quick] [--cases weights,metric]

Cases (float64, cells set to NaN at the given rate with numpy.random.default_rng(0)):

* weights: a callable ``weights`` (1 / (1 + d)) with the built-in metric; ``fit`` on 20,000 x 20
  (10% NaN), then ``transform`` of 2,000 new rows of 20 (20% NaN);
* metric: a callable ``metric`` (Manhattan distance over the coordinates both rows hold, in
  Python) with uniform weights; ``fit`` on 1,000 x 8, ``transform`` of 100 rows (20% NaN).

Only ``transform`` is timed (both libraries' fits are outside the clock). The two libraries
alternate, N times each; a figure is the median (best beside it); ratio = scikit-learn / mirel
(above 1: mirel faster). Both call the same Python callables the same number of times per
cell group; the outputs are compared first (np.allclose: the two compute distances and sums
differently in the last bits, and break equal distances differently). --blas-threads (default
1, through threadpoolctl) caps scikit-learn's BLAS threads so that both run on one thread.
--quick shrinks the tables tenfold (a smoke run).
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

import numpy as np
import sklearn
import tables as T
from sklearn.impute import KNNImputer as SkKNNImputer

from mirel.sklearn import KNNImputer


def inverse(d):
    return 1.0 / (1.0 + d)


def manhattan(a, b, missing_values=np.nan):
    both = ~(np.isnan(a) | np.isnan(b))
    return float(np.abs(a[both] - b[both]).sum()) if both.any() else np.nan


def table(rng, rows, cols, rate):
    x = rng.normal(size=(rows, cols))
    x[rng.random(x.shape) < rate] = np.nan
    return x


def case(name, fitted, query, params, repeats):
    ours = KNNImputer(**params).fit(fitted)
    theirs = SkKNNImputer(**params).fit(fitted)
    a, b = ours.transform(query), theirs.transform(query)
    same = np.array_equal(np.isnan(a), np.isnan(b)) and np.allclose(a, b, equal_nan=True)
    times = {"mirel": [], "sklearn": []}
    for _ in range(repeats):
        for label, est in (("mirel", ours), ("sklearn", theirs)):
            t0 = time.perf_counter()
            est.transform(query)
            times[label].append(time.perf_counter() - t0)
    m, s = statistics.median(times["mirel"]), statistics.median(times["sklearn"])
    print(
        f"{name:<8} fit {fitted.shape[0]}x{fitted.shape[1]:<3} query {query.shape[0]:<5} "
        f"mirel {m:8.3f} s (best {min(times['mirel']):.3f})  sklearn {s:8.3f} s (best {min(times['sklearn']):.3f})  "
        f"ratio {s / m:5.2f}  outputs close: {same}"
    )


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--blas-threads", type=int, default=1)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--cases", default="weights,metric")
    args = parser.parse_args(argv)
    scale = 10 if args.quick else 1
    print(f"CPU: {T.cpu_name()}; kernel {platform.release()}; {os.cpu_count()} logical CPUs")
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}, scikit-learn {sklearn.__version__}")
    rng = np.random.default_rng(0)
    weights_case = (table(rng, 20_000 // scale, 20, 0.1), table(rng, 2_000 // scale, 20, 0.2))
    metric_case = (table(rng, 1_000 // scale, 8, 0.1), table(rng, 100 // scale, 8, 0.2))

    cases = args.cases.split(",")

    def run():
        if "weights" in cases:
            case("weights", *weights_case, {"weights": inverse}, args.repeats)
        if "metric" in cases:
            case("metric", *metric_case, {"metric": manhattan}, args.repeats)

    if args.blas_threads:
        from threadpoolctl import threadpool_limits

        with threadpool_limits(limits=args.blas_threads):
            run()
    else:
        run()
