"""mirel against scikit-learn's KNNImputer, side by side in one run.

    python benchmarks/bench_impute.py [--quick] [--sklearn-repeats N] [--mirel-repeats N]

Every measurement runs in a fresh subprocess (``--worker``) so that its peak RSS belongs to one
library on one table. Tables are standard normal values with NaN cells placed uniformly at
random (fixed seeds, so both libraries get the very same table).

Timed calls:
  mirel:   KnnImputer(k=5).fit(X).transform(X)
  sklearn: KNNImputer(n_neighbors=5).fit_transform(X)

Reported per size: best wall time of the repeats (and CPU time of the process), the ratio
sklearn / mirel of the wall times, mirel's distance throughput (rows with a missing cell x
rows x columns / wall seconds), peak RSS of the worker and its growth over the RSS before the
call, and the largest difference between the two libraries' imputed values (the libraries
rank and average the same way on such tables up to ties and rounding; a large value would
mean that they did different work). Peak RSS is the worker's VmHWM (the same figure as
getrusage's ru_maxrss), reset just before the timed calls because Linux carries the parent's
peak over fork and exec; "+MiB" is that peak less the RSS just before the first call, so it
holds the input copies, the result and all working memory of the calls.

Then a scaling table of mirel alone: time per (rows with a missing cell x rows x columns)
stays flat when the cost has no R^2 log R term. CPU time is the process's (mirel starts no
thread, so it is the pass's own time); scikit-learn's may exceed its wall time because its BLAS
runs on several threads.

OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE slow a current NumPy on some machines: run this with
``env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE``; the header prints which BLAS kernel NumPy uses.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time

SIZES = [(2000, 20, 0.10), (5000, 20, 0.10), (10000, 32, 0.05), (20000, 8, 0.10)]
QUICK_SIZES = [(2000, 20, 0.10), (5000, 20, 0.10)]
SCALING = [(2500, 16, 0.10), (5000, 16, 0.10), (10000, 16, 0.10), (20000, 16, 0.10), (40000, 16, 0.10)]
QUICK_SCALING = [(1000, 16, 0.10), (2000, 16, 0.10), (4000, 16, 0.10), (8000, 16, 0.10), (16000, 16, 0.10)]


def make_table(rows: int, cols: int, rate: float, seed: int = 12345):
    import numpy as np

    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, cols))
    x[rng.random((rows, cols)) < rate] = np.nan
    return x


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak_rss() -> bool:
    """Linux keeps the peak RSS across fork and exec, so a worker would report its parent's
    peak; writing 5 to clear_refs resets the process's high-water mark to its current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes() -> int:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def worker(args) -> None:
    """One library, one table, `repeats` timed calls; prints a JSON line."""
    import numpy as np

    x = make_table(args.rows, args.cols, args.rate)
    if args.library == "mirel":
        import mirel

        def call():
            return mirel.KnnImputer(k=5).fit(x).transform(x)
    else:
        from sklearn.impute import KNNImputer

        def call():
            return KNNImputer(n_neighbors=5).fit_transform(x)

    reset_peak_rss()
    before = rss_bytes()
    best_wall = best_cpu = float("inf")
    out = None
    for _ in range(args.repeats):
        out = None
        c0, t0 = time.process_time(), time.perf_counter()
        out = call()
        t1, c1 = time.perf_counter(), time.process_time()
        best_wall = min(best_wall, t1 - t0)
        best_cpu = min(best_cpu, c1 - c0)
    peak = peak_rss_bytes()
    if args.save:
        np.save(args.save, out)
    query_rows = int(np.isnan(x).any(axis=1).sum())
    print(
        json.dumps(
            {
                "wall": best_wall,
                "cpu": best_cpu,
                "peak_rss": peak,
                "rss_before": before,
                "query_rows": query_rows,
                "missing": int(np.isnan(x).sum()),
            }
        )
    )


def run_worker(library: str, rows: int, cols: int, rate: float, repeats: int, save: str | None = None) -> dict:
    cmd = [
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        library,
        str(rows),
        str(cols),
        str(rate),
        "--repeats",
        str(repeats),
    ]
    if save:
        cmd += ["--save", save]
    done = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def mib(n: float) -> str:
    return f"{n / 2**20:7.1f}"


def header() -> None:
    import numpy as np
    import sklearn

    import mirel  # noqa: F401  (the module under test must import)

    print(f"python {platform.python_version()}, numpy {np.__version__}, scikit-learn {sklearn.__version__}")
    print(f"cpu: {cpu_name()}, {os.cpu_count()} logical cpus; load average {os.getloadavg()}")
    print(
        "OPENBLAS_CORETYPE=%s OPENBLAS_L2_SIZE=%s"
        % (os.environ.get("OPENBLAS_CORETYPE", "(unset)"), os.environ.get("OPENBLAS_L2_SIZE", "(unset)"))
    )
    try:
        from threadpoolctl import threadpool_info

        for pool in threadpool_info():
            print(
                f"threadpool: {pool.get('internal_api')} {pool.get('version')} "
                f"architecture={pool.get('architecture')} threads={pool.get('num_threads')}"
            )
    except ImportError:
        print("threadpool: threadpoolctl not installed")


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def compare_table(sizes, sk_repeats: int, mi_repeats: int) -> None:
    import numpy as np

    print()
    print("mirel KnnImputer(k=5).fit(X).transform(X) vs sklearn KNNImputer(n_neighbors=5).fit_transform(X)")
    print("wall = best of the repeats; ratio = sklearn wall / mirel wall; throughput = q*R*C / mirel wall")
    print(
        f"{'size':>10} {'nan':>5} {'q':>6} | {'mirel s':>8} {'cpu s':>7} {'peak MiB':>8} {'+MiB':>7} | "
        f"{'sklearn s':>9} {'cpu s':>7} {'peak MiB':>8} {'+MiB':>7} | {'ratio':>6} {'pair-el/s':>9} "
        f"{'max|diff|':>9}"
    )
    with tempfile.TemporaryDirectory() as tmp:
        for rows, cols, rate in sizes:
            a = os.path.join(tmp, "mirel.npy")
            b = os.path.join(tmp, "sklearn.npy")
            mi = run_worker("mirel", rows, cols, rate, mi_repeats, a)
            sk = run_worker("sklearn", rows, cols, rate, sk_repeats, b)
            mi2 = run_worker("mirel", rows, cols, rate, mi_repeats)  # again, after sklearn
            if mi2["wall"] < mi["wall"]:
                mi.update(wall=mi2["wall"], cpu=min(mi["cpu"], mi2["cpu"]))
            diff = float(np.nanmax(np.abs(np.load(a) - np.load(b))))
            q = mi["query_rows"]
            work = q * rows * cols
            print(
                f"{rows:>6}x{cols:<3} {rate:5.2f} {q:>6} | {mi['wall']:8.4f} {mi['cpu']:7.4f} "
                f"{mib(mi['peak_rss'])} {mib(mi['peak_rss'] - mi['rss_before'])} | "
                f"{sk['wall']:9.3f} {sk['cpu']:7.3f} {mib(sk['peak_rss'])} {mib(sk['peak_rss'] - sk['rss_before'])} | "
                f"{sk['wall'] / mi['wall']:6.1f} {work / mi['wall']:9.2e} {diff:9.1e}",
                flush=True,
            )


def scaling_table(sizes, repeats: int) -> None:
    print()
    print("scaling of mirel alone (k=5, nan_euclid, uniform): ns per pair-element = time / (q*R*C),")
    print("by wall and by CPU time; growth = CPU time ratio to the previous size, expected = (q*R*C)")
    print("ratio to the previous size (an R^2 log R term would make growth exceed expected increasingly)")
    print(
        f"{'size':>10} {'q':>6} {'q*R*C':>9} | {'wall s':>8} {'cpu s':>7} {'ns wall':>8} {'ns cpu':>7} | "
        f"{'growth':>7} {'expected':>8} | {'peak MiB':>8} {'+MiB':>7}"
    )
    previous = None
    for rows, cols, rate in sizes:
        r = run_worker("mirel", rows, cols, rate, repeats)
        work = r["query_rows"] * rows * cols
        growth = expected = ""
        if previous is not None:
            growth = f"{r['cpu'] / previous[0]:7.2f}"
            expected = f"{work / previous[1]:8.2f}"
        print(
            f"{rows:>6}x{cols:<3} {r['query_rows']:>6} {work:9.2e} | {r['wall']:8.4f} {r['cpu']:7.4f} "
            f"{1e9 * r['wall'] / work:8.3f} {1e9 * r['cpu'] / work:7.3f} | {growth:>7} {expected:>8} | "
            f"{mib(r['peak_rss'])} {mib(r['peak_rss'] - r['rss_before'])}",
            flush=True,
        )
        previous = (r["cpu"], work)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=4, metavar=("LIBRARY", "ROWS", "COLS", "RATE"))
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--save")
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--sklearn-repeats", type=int, default=2)
    parser.add_argument("--mirel-repeats", type=int, default=5)
    parser.add_argument("--no-scaling", action="store_true")
    args = parser.parse_args()
    if args.worker:
        library, rows, cols, rate = args.worker
        args.library, args.rows, args.cols, args.rate = library, int(rows), int(cols), float(rate)
        worker(args)
        return
    header()
    compare_table(QUICK_SIZES if args.quick else SIZES, args.sklearn_repeats, args.mirel_repeats)
    if not args.no_scaling:
        scaling_table(QUICK_SCALING if args.quick else SCALING, args.mirel_repeats)


if __name__ == "__main__":
    main()
