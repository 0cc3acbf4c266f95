"""Exact pass vs candidate index: mirel.sklearn.KNNImputer(algorithm="brute") against
algorithm="ivf" on Gaussian mixtures and on random rows.

For each table (a complete table, then cells removed at random):

* time of fit_transform, exact and indexed (the index's includes its build and its recall
  measurement); above --exact-max-rows the exact pass is timed on a random sample of the rows
  that need imputing (a transform of those rows against the whole fitted table, the same cells
  as fit_transform gives them) and scaled to all of them: marked "extrapolated";
* donor recall, measured here and not taken from fit: on --check-rows rows that need imputing,
  the share of the exact donors (the index with every list probed, which is the exact pass bit
  for bit) that the index's probe selects, cell by cell;
* RMSE on the removed cells of the exact and the indexed results (on the sampled rows when the
  exact pass was extrapolated), and the fit's own estimate (recall_, n_probe_).

Usage: python benchmarks/bench.py index [--sizes 50000,100000] [--threads 2] [--random]
"""

import argparse
import os
import time
import warnings

import numpy as np
import tables as T  # noqa: E402

from mirel.sklearn import KNNImputer  # noqa: E402


def rmse(result, full, cells):
    return float(np.sqrt(np.mean((result[cells] - full[cells]) ** 2)))


def run(name, full, holed, threads, exact_max_rows, check_rows, exact_sample_rows=2000, seed=1):
    rng = np.random.default_rng(seed)
    rows = full.shape[0]
    cells = np.isnan(holed)
    need = np.flatnonzero(cells.any(axis=1))
    # The index.
    est = KNNImputer(algorithm="ivf", random_state=0, n_jobs=threads)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        t = time.perf_counter()
        got = est.fit_transform(holed)
        t_index = time.perf_counter() - t
    said = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    # The exact pass: whole, or on a sample of the rows that need imputing.
    exact_est = KNNImputer(n_jobs=threads)
    if rows <= exact_max_rows:
        t = time.perf_counter()
        exact = exact_est.fit_transform(holed)
        t_exact = time.perf_counter() - t
        label = "measured"
        on = cells
        exact_on = exact
    else:
        exact_est.fit(holed)
        sample = np.sort(rng.choice(need, size=min(need.size, exact_sample_rows), replace=False))
        t = time.perf_counter()
        part = exact_est.transform(holed[sample])
        t_exact = (time.perf_counter() - t) * need.size / sample.size
        label = f"extrapolated from {sample.size} rows"
        on = np.zeros_like(cells)
        on[sample] = cells[sample]
        exact_on = np.zeros_like(holed)
        exact_on[sample] = part
    # Donor recall on rows the index serves, measured against every list probed.
    recall = float("nan")
    index = est.__dict__.get("_index")
    if index is not None and index.used:
        engine = index._engine
        check = holed[np.sort(rng.choice(need, size=min(need.size, check_rows), replace=False))]
        k = est.n_neighbors
        exact_donors = engine.select(check, k, engine.lists)
        index_donors = engine.select(check, k, index.probe)
        have = exact_donors >= 0
        found = sum(np.isin(exact_donors[i][have[i]], index_donors[i]).sum() for i in range(exact_donors.shape[0]))
        recall = found / max(int(have.sum()), 1)
    print(
        f"{name:<28} {rows:>8}  exact {t_exact:8.2f} s ({label})  index {t_index:7.2f} s  "
        f"x{t_exact / t_index:5.1f}  recall measured {recall:.4f} (fit: {getattr(est, 'recall_', float('nan')):.4f}"
        f" on {getattr(est, 'recall_sample_cells_', 0)} cells, probe {getattr(est, 'n_probe_', 0)}/"
        f"{index.lists if index is not None else 0}, used {getattr(est, 'index_used_', False)})  "
        f"RMSE exact {rmse(exact_on, full, on):.4f} index {rmse(got, full, on):.4f} (index, all cells "
        f"{rmse(got, full, cells):.4f})",
        flush=True,
    )
    for message in said:
        print(f"    fit said: {message}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="50000,100000,200000")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--exact-max-rows", type=int, default=200000)
    parser.add_argument("--check-rows", type=int, default=500)
    parser.add_argument("--exact-sample-rows", type=int, default=2000)
    parser.add_argument("--random", action="store_true", help="also a table of random rows (50 columns)")
    args = parser.parse_args(argv)
    print(f"CPU: {T.cpu_name()}, {os.cpu_count()} logical CPUs, threads {args.threads}; k=5, 10% removed")
    for size in (int(s) for s in args.sizes.split(",") if s):
        full, holed = T.mixture(size)
        run(
            "mixture(20) x 20 cols",
            full,
            holed,
            args.threads,
            args.exact_max_rows,
            args.check_rows,
            args.exact_sample_rows,
        )
    if args.random:
        full, holed = T.random_rows(50000)
        run("random x 50 cols", full, holed, args.threads, args.exact_max_rows, args.check_rows)
