"""mirel (exact pass and candidate index) beside the FAISS-based imputers, scikit-learn and the
column mean, on the same tables in one run: time of fit_transform, RMSE on the cells removed from
a complete table, the share of those cells equal to the exact pass's value, and the donor recall
the index measured.

The peers need FAISS and Python 3.12+, so this runs in an environment of its own, with mirel
installed from this tree:

    ~/.pyenv/versions/3.12*/bin/python -m venv /tmp/faiss-venv
    /tmp/faiss-venv/bin/pip install . faiss-cpu fknni faiss-imputer scikit-learn
    /tmp/faiss-venv/bin/python benchmarks/bench.py index-peers [--large] [--curve]

Every method gets the very same holed table; mirel and scikit-learn use nan_euclidean donors,
fknni and faiss-imputer search a FAISS index in float32 (fknni among mean-filled rows,
faiss-imputer among complete rows only), with 2 OpenMP threads, and mirel with n_jobs=2.
"Equal" counts removed cells within 1e-5 (relative) of the exact pass's value: the same donors,
up to float32 rounding. The index's recall
is the share of the exact donors it selects, measured by fit on its own sample (`recall_`).

--curve adds the recall-time curve on random rows, where lists do not separate neighbours: the
index at several recall targets, with the threshold above which fit declines the index lifted
for the curve (so every point is the index's own search), beside the exact pass and fknni.
--large adds the 1,000,000-row mixture (mirel's exact pass timed on 1000 rows of it and
scaled, as `bench.py index` does). The peers are for comparison only, never a dependency.
"""

import argparse
import os
import time
import warnings

import numpy as np
import tables as T

THREADS = 2
# "Equal to exact": within this relative distance of the exact pass's value, so that a float32
# peer's mean of the same donors counts as equal and a mean of other donors does not.
TOL = 1e-5
SKLEARN_MAX_PAIRS = 5.0e9  # rows x rows x cols beyond which scikit-learn is not run (minutes)
FAISS_IMPUTER_MAX_ROWS = 50_000  # it took over 8 minutes on 100,000 rows
FLAT_MAX_PAIRS = 2.0e11  # fknni Flat is a full search in float32


def remove(full, rate, seed):
    holed = full.copy()
    holed[np.random.default_rng(seed).random(full.shape) < rate] = np.nan
    return holed


def lowrank(rows, cols, rank=5, noise=0.3, seed=0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((rows, rank)) @ rng.standard_normal((rank, cols)) / np.sqrt(rank) + noise * (
        rng.standard_normal((rows, cols))
    )


def standardised(x):
    x = np.asarray(x, dtype=np.float64)
    return (x - x.mean(axis=0)) / x.std(axis=0)


def table_set(large):
    from sklearn import datasets

    out = [
        ("digits", datasets.load_digits().data.astype(np.float64), 0.1),
        ("breast_cancer, standardised", standardised(datasets.load_breast_cancer().data), 0.1),
        ("normal 10,000 x 50", np.random.default_rng(1).standard_normal((10_000, 50)), 0.1),
        ("normal 10,000 x 50, 30%", np.random.default_rng(1).standard_normal((10_000, 50)), 0.3),
        ("normal 50,000 x 50", np.random.default_rng(2).standard_normal((50_000, 50)), 0.1),
        ("low-rank(5) 50,000 x 50", lowrank(50_000, 50), 0.1),
    ]
    for rows in (50_000, 200_000):
        full, holed = T.mixture(rows)
        out.append((f"mixture(20) {rows:,} x 20", full, holed))
    for name, full, rate in out:
        yield name, full, rate if isinstance(rate, np.ndarray) else remove(full, rate, 7)
    if large:
        full, holed = T.mixture(1_000_000)
        yield "mixture(20) 1,000,000 x 20", full, holed


def mirel_exact(holed):
    from mirel.sklearn import KNNImputer

    return KNNImputer(n_jobs=THREADS).fit_transform(holed), ""


def mirel_index(holed, recall=0.99):
    from mirel.sklearn import KNNImputer

    est = KNNImputer(algorithm="ivf", recall=recall, random_state=0, n_jobs=THREADS)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        got = est.fit_transform(holed)
    used = "" if est.index_used_ else ", declined: exact pass"
    return got, f"recall {est.recall_:.4f}, probe {est.n_probe_}/{est._index.lists}{used}"


def sklearn_knn(holed):
    from sklearn.impute import KNNImputer

    return KNNImputer(n_neighbors=5).fit_transform(holed), ""


def fknni(factory):
    def run(holed):
        from fknni import FastKNNImputer

        return FastKNNImputer(n_neighbors=5, index_factory=factory).fit_transform(holed.copy()), ""

    return run


def faiss_imputer(holed):
    from faiss_imputer import FaissImputer

    return FaissImputer(n_neighbors=5).fit_transform(holed.copy()), ""


def column_mean(holed):
    means = np.nanmean(holed, axis=0)
    return np.where(np.isnan(holed), means, holed), ""


def methods(rows, cols, recalls=(0.9,)):
    pairs = float(rows) * rows * cols
    yield "mirel exact", mirel_exact, rows <= 200_000
    yield "mirel index", mirel_index, True
    for target in recalls:
        yield f"mirel index, recall {target}", lambda holed, target=target: mirel_index(holed, target), True
    yield "scikit-learn", sklearn_knn, pairs <= SKLEARN_MAX_PAIRS
    yield "fknni Flat", fknni("Flat"), pairs <= FLAT_MAX_PAIRS
    yield "fknni IVF100", fknni("IVF100,Flat"), True
    yield "faiss-imputer", faiss_imputer, rows <= FAISS_IMPUTER_MAX_ROWS
    yield "column mean", column_mean, True


def exact_on_sample(holed, sample_rows=1000, seed=1):
    """The exact pass on a sample of the rows that need imputing, timed and scaled to all of them."""
    from mirel.sklearn import KNNImputer

    need = np.flatnonzero(np.isnan(holed).any(axis=1))
    rows = np.sort(np.random.default_rng(seed).choice(need, size=min(need.size, sample_rows), replace=False))
    est = KNNImputer(n_jobs=THREADS).fit(holed)
    t = time.perf_counter()
    part = est.transform(holed[rows])
    took = (time.perf_counter() - t) * need.size / rows.size
    return rows, part, took


def run_table(name, full, holed, out, recalls=(0.9,)):
    cells = np.isnan(holed)
    rows, cols = holed.shape
    exact = None
    sample = None
    for method, call, runs in methods(rows, cols, recalls):
        if method == "mirel exact" and not runs:
            sample, part, took = exact_on_sample(holed)
            exact = np.full_like(holed, np.nan)
            exact[sample] = part
            rmse = float(np.sqrt(np.mean((part[cells[sample]] - full[sample][cells[sample]]) ** 2)))
            out.append([name, method, f"{took:.1f} (scaled from {sample.size} rows)", f"{rmse:.4f} (sample)", "1", ""])
            continue
        if not runs:
            out.append([name, method, "not run", "", "", ""])
            continue
        try:
            t = time.perf_counter()
            got, said = call(holed)
            took = time.perf_counter() - t
        except Exception as exc:  # a peer that fails is reported, not fatal
            out.append([name, method, f"failed: {type(exc).__name__}: {str(exc)[:60]}", "", "", ""])
            continue
        got = np.asarray(got, dtype=np.float64)
        rmse = float(np.sqrt(np.mean((got[cells] - full[cells]) ** 2)))
        if method == "mirel exact":
            exact = got
        equal = ""
        if exact is not None:
            on = cells if sample is None else cells & ~np.isnan(exact)
            close = np.abs(got[on] - exact[on]) <= TOL * np.maximum(1.0, np.abs(exact[on]))
            equal = f"{close.mean():.3f}"
        if sample is not None and method != "mirel exact":
            rmse_s = float(np.sqrt(np.mean((got[sample][cells[sample]] - full[sample][cells[sample]]) ** 2)))
            rmse = f"{rmse:.4f} ({rmse_s:.4f} sample)"
        else:
            rmse = f"{rmse:.4f}"
        out.append([name, method, f"{took:.3f}", rmse, equal, said])
        print(f"  {name}: {method} {took:.3f} s", flush=True)


def curve(out):
    """The index on random rows at several recall targets, the decline threshold lifted."""
    import mirel._index as index_module

    full = np.random.default_rng(3).random((50_000, 50))
    holed = remove(full, 0.1, 7)
    cells = np.isnan(holed)
    t = time.perf_counter()
    exact, _ = mirel_exact(holed)
    out.append(["exact", f"{time.perf_counter() - t:.2f}", "", _rmse(exact, full, cells), "1.000"])
    keep = index_module.NO_GAIN_FRACTION
    index_module.NO_GAIN_FRACTION = 1.0
    try:
        for target in (0.5, 0.7, 0.8, 0.9, 0.95, 0.99):
            t = time.perf_counter()
            got, said = mirel_index(holed, target)
            took = time.perf_counter() - t
            close = np.abs(got[cells] - exact[cells]) <= TOL * np.maximum(1.0, np.abs(exact[cells]))
            out.append([f"index, recall {target}", f"{took:.2f}", said, _rmse(got, full, cells), f"{close.mean():.3f}"])
            print(f"  curve {target}: {took:.2f} s", flush=True)
    finally:
        index_module.NO_GAIN_FRACTION = keep
    for method, call in (("fknni IVF100", fknni("IVF100,Flat")), ("fknni Flat", fknni("Flat"))):
        t = time.perf_counter()
        got, _ = call(holed)
        took = time.perf_counter() - t
        close = np.abs(got[cells] - exact[cells]) <= TOL * np.maximum(1.0, np.abs(exact[cells]))
        out.append([method, f"{took:.2f}", "", _rmse(got, full, cells), f"{close.mean():.3f}"])


def wide(out):
    """One row per table, one column per method: "seconds / RMSE / equal to exact", then what the
    index said."""
    tables, methods, cell, said = [], [], {}, {}
    for name, method, took, rmse, equal, note in out:
        if name not in tables:
            tables.append(name)
        if method not in methods:
            methods.append(method)
        if took == "not run":
            cell[name, method] = "-"
        elif took.startswith("failed"):
            cell[name, method] = "failed"
            said.setdefault(name, []).append(f"{method}: {took}")
        else:
            cell[name, method] = " / ".join(x for x in (took, rmse.split(" ")[0], equal) if x)
        if note:
            said.setdefault(name, []).append(f"{method}: {note}")
    rows = [[name] + [cell.get((name, m), "") for m in methods] for name in tables]
    text = T.markdown(["table (seconds / RMSE / equal to exact)"] + methods, rows, right=1)
    notes = [f"- {name}: " + "; ".join(said[name]) for name in tables if name in said]
    return text + "\n\n" + "\n".join(notes)


def _rmse(got, full, cells):
    return f"{float(np.sqrt(np.mean((got[cells] - full[cells]) ** 2))):.4f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="also the 1,000,000-row mixture")
    parser.add_argument("--curve", action="store_true", help="also the recall-time curve on random rows")
    parser.add_argument("--only", default="", help="table names to run, separated by ; (default: all)")
    parser.add_argument("--recalls", default="0.9", help="recall targets of the index besides 0.99 (comma-separated)")
    args = parser.parse_args(argv)
    os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))
    import faiss

    faiss.omp_set_num_threads(THREADS)
    print(T.machine())
    print(T.versions())
    print(f"fit_transform, k=5, {THREADS} threads for every library that takes them; load {T.load()}\n")
    recalls = [float(r) for r in args.recalls.split(",") if r.strip()]
    out = []
    only = {s.strip() for s in args.only.split(";") if s.strip()}
    for name, full, holed in table_set(args.large):
        if only and name not in only:
            continue
        run_table(name, full, holed, out, recalls)
    print(wide(out))
    if args.curve:
        rows = []
        curve(rows)
        print("\nRandom rows 50,000 x 50 (uniform, 10% removed): the index's recall-time curve\n")
        print(T.markdown(["method", "seconds", "index", "RMSE", "equal to exact"], rows, right=1))
    print(f"\nload at the end {T.load()}")
