"""mirel.sklearn.KNNImputer against sklearn.impute.KNNImputer, side by side in one run.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_sklearn.py [--quick]

Tables: the normal tables of bench_impute.py plus one of 50,000 rows (standard normal values, NaN cells
placed uniformly at random, fixed seeds, so both libraries get the very same table). Two timed
calls per table, both with n_neighbors=5 and default parameters otherwise:

  split:          KNNImputer().fit(X[:80%]).transform(X[80%:])
  fit_transform:  KNNImputer().fit_transform(X)

Every measurement runs in a fresh subprocess (bench_impute.py's worker conventions): best wall
time of the repeats, peak RSS of the worker (VmHWM, reset before the calls) and "+MiB", that
peak less the RSS just before the first measured call (the input copies, the result and all
working memory); mirel runs again after scikit-learn on the smaller tables and the better wall time
counts (as in bench_impute.py). Unless --cold is given, each worker first makes one split and one fit_transform
call on a 20-row table with the library it measures, so that one-time costs of a process (code
pages, lazily imported modules, first heap growth: about 0.5 MiB for either library) are not
counted as memory of the table's imputation. ratio = sklearn wall / mirel wall; mem = sklearn +MiB / mirel +MiB; max|diff| is the
largest difference between the two results (ties aside, they agree to rounding). cpu s is the
worker's CPU time (scikit-learn's BLAS may use both cores, so its CPU time can exceed its wall
time; mirel starts no thread unless --n-jobs asks it to: -1 gives it every core, as
scikit-learn's BLAS has).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_impute import SIZES, header, make_table, mib, peak_rss_bytes, reset_peak_rss, rss_bytes  # noqa: E402

LARGE = (50000, 16, 0.10)
WARM = True
N_JOBS = None
QUICK_SIZES = [(2000, 20, 0.10), (5000, 20, 0.10)]


def tables(quick: bool) -> list[tuple[int, int, float]]:
    """(rows, cols, NaN rate) of the run: the normal tables of bench_impute.py (its structured
    ones are for the pruning benchmark) and LARGE, or QUICK_SIZES."""
    if quick:
        return list(QUICK_SIZES)
    return [(rows, cols, rate) for kind, rows, cols, rate in SIZES if kind == "normal"] + [LARGE]


def worker(
    library: str,
    mode: str,
    rows: int,
    cols: int,
    rate: float,
    repeats: int,
    save: str | None,
    warm: bool,
    n_jobs: int | None = None,
) -> None:
    import numpy as np

    x = make_table(rows, cols, rate)
    split = int(rows * 0.8)
    train, test = x[:split].copy(), x[split:].copy()
    if library == "mirel":
        from functools import partial

        from mirel.sklearn import KNNImputer

        KNNImputer = partial(KNNImputer, n_jobs=n_jobs)
    else:
        from sklearn.impute import KNNImputer

    if mode == "split":

        def call():
            return KNNImputer(n_neighbors=5).fit(train).transform(test)
    else:

        def call():
            return KNNImputer(n_neighbors=5).fit_transform(x)

    # One call on a 20-row table first, for either library: code pages, lazily imported modules
    # and first-touch heap growth are paid once per process, not per table.
    if warm:
        small = make_table(20, cols, rate, seed=7)
        KNNImputer(n_neighbors=5).fit(small[:16]).transform(small[16:])
        KNNImputer(n_neighbors=5).fit_transform(small)
    reset_peak_rss()
    before = rss_bytes()
    best_wall = best_cpu = float("inf")
    out = None
    for _ in range(repeats):
        out = None
        c0, t0 = time.process_time(), time.perf_counter()
        out = call()
        t1, c1 = time.perf_counter(), time.process_time()
        best_wall = min(best_wall, t1 - t0)
        best_cpu = min(best_cpu, c1 - c0)
    peak = peak_rss_bytes()
    if save:
        np.save(save, out)
    print(json.dumps({"wall": best_wall, "cpu": best_cpu, "peak_rss": peak, "rss_before": before}))


def run_worker(library, mode, rows, cols, rate, repeats, save=None) -> dict:
    cmd = [
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        library,
        mode,
        str(rows),
        str(cols),
        str(rate),
        "--repeats",
        str(repeats),
    ] + ([] if WARM else ["--cold"])
    if library == "mirel" and N_JOBS is not None:
        cmd += ["--n-jobs", str(N_JOBS)]
    if save:
        cmd += ["--save", save]
    done = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def compare(sizes, sk_repeats: int, mi_repeats: int) -> None:
    import numpy as np

    print()
    print("mirel.sklearn.KNNImputer vs sklearn.impute.KNNImputer (n_neighbors=5)")
    print(
        f"{'size':>10} {'nan':>5} {'mode':>13} | {'mirel s':>8} {'cpu s':>7} {'peak MiB':>8} {'+MiB':>7} | "
        f"{'sklearn s':>9} {'cpu s':>7} {'peak MiB':>8} {'+MiB':>7} | {'ratio':>6} {'mem':>6} {'max|diff|':>9}"
    )
    with tempfile.TemporaryDirectory() as tmp:
        for rows, cols, rate in sizes:
            large = rows >= LARGE[0]
            for mode in ("split", "fit_transform"):
                a, b = os.path.join(tmp, "mirel.npy"), os.path.join(tmp, "sklearn.npy")
                mi = run_worker("mirel", mode, rows, cols, rate, 1 if large else mi_repeats, a)
                sk = run_worker("sklearn", mode, rows, cols, rate, 1 if large else sk_repeats, b)
                if not large:  # mirel again, after scikit-learn: the better time counts
                    again = run_worker("mirel", mode, rows, cols, rate, mi_repeats)
                    if again["wall"] < mi["wall"]:
                        mi.update(wall=again["wall"], cpu=min(mi["cpu"], again["cpu"]))
                diff = float(np.nanmax(np.abs(np.load(a) - np.load(b))))
                mi_extra = mi["peak_rss"] - mi["rss_before"]
                sk_extra = sk["peak_rss"] - sk["rss_before"]
                print(
                    f"{rows:>6}x{cols:<3} {rate:5.2f} {mode:>13} | {mi['wall']:8.3f} {mi['cpu']:7.3f} "
                    f"{mib(mi['peak_rss'])} {mib(mi_extra)} | {sk['wall']:9.2f} {sk['cpu']:7.2f} "
                    f"{mib(sk['peak_rss'])} {mib(sk_extra)} | "
                    f"{sk['wall'] / mi['wall']:6.1f} {sk_extra / max(mi_extra, 1):6.1f} {diff:9.1e}",
                    flush=True,
                )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=5, metavar=("LIBRARY", "MODE", "ROWS", "COLS", "RATE"))
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--save")
    parser.add_argument("--quick", action="store_true", help="two small tables only")
    parser.add_argument("--sklearn-repeats", type=int, default=1)
    parser.add_argument("--mirel-repeats", type=int, default=3)
    parser.add_argument("--cold", action="store_true", help="no warm-up call before the measured calls")
    parser.add_argument(
        "--n-jobs", type=int, help="mirel's n_jobs (default: None, one thread; -1: every core, as BLAS uses)"
    )
    args = parser.parse_args()
    if args.worker:
        library, mode, rows, cols, rate = args.worker
        worker(library, mode, int(rows), int(cols), float(rate), args.repeats, args.save, not args.cold, args.n_jobs)
        return
    global WARM, N_JOBS
    WARM = not args.cold
    N_JOBS = args.n_jobs
    header()
    print(f"mirel n_jobs={N_JOBS}")
    compare(tables(args.quick), args.sklearn_repeats, args.mirel_repeats)


if __name__ == "__main__":
    main()
