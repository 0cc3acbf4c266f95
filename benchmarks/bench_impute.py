"""mirel against scikit-learn's KNNImputer, side by side in one run.

    python benchmarks/bench_impute.py [--quick] [--sklearn-repeats N] [--mirel-repeats N] [--no-scaling]
                                      [--engine-bench PATH] [--plot PATH] [--no-plot]

Every measurement runs in a fresh subprocess (``--worker``) so that its peak RSS belongs to one
library on one table. Tables are standard normal values with NaN cells placed uniformly at
random (fixed seeds, so both libraries get the very same table), and two structured tables
(see SIZES).

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

Then a series over the rows (16 columns, 10% NaN) with both libraries, drawn as a log-log plot
of wall time against rows (``--plot``, by default benchmarks/bench_impute.png; needs
matplotlib, in the ``bench`` extra) with the CPU named in the title.

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

# (kind, rows, cols, NaN rate). "normal": standard normal cells. Two structured tables, where
# rows have near neighbours as in real data: "lowrank", rank 4 (standard normal factors times a
# standard normal basis) plus noise of standard deviation 0.1; "digits", scikit-learn's bundled
# load_digits data (1797 x 64, values 0..16) tiled to the row count, plus noise of standard
# deviation 0.25 (so tiles are not exact copies); "loaddigits", the same without noise.
SIZES = [
    ("normal", 2000, 20, 0.10),
    ("normal", 5000, 20, 0.10),
    ("normal", 10000, 32, 0.05),
    ("normal", 20000, 8, 0.10),
    ("lowrank", 20000, 32, 0.05),
    ("digits", 8985, 64, 0.05),
]
QUICK_SIZES = [("normal", 2000, 20, 0.10), ("normal", 5000, 20, 0.10), ("lowrank", 5000, 32, 0.05)]
# The structured set (benchmarks/structured_tables.py times it in the engine benchmark,
# bench_peers.py through the Python faces): rows with near neighbours, where exact pruning of
# the distance loop can skip work. "loaddigits" is load_digits as bundled (1797 x 64), no noise.
STRUCTURED = [
    ("lowrank", 20000, 32, 0.03),
    ("digits", 20000, 64, 0.03),
    ("loaddigits", 1797, 64, 0.03),
]
SCALING = [(2500, 16, 0.10), (5000, 16, 0.10), (10000, 16, 0.10), (20000, 16, 0.10), (40000, 16, 0.10)]
PLOT_ROWS = [1000, 2000, 4000, 8000, 16000]
QUICK_PLOT_ROWS = [250, 500, 1000, 2000]
PLOT_COLS, PLOT_RATE = 16, 0.10
QUICK_SCALING = [(1000, 16, 0.10), (2000, 16, 0.10), (4000, 16, 0.10), (8000, 16, 0.10), (16000, 16, 0.10)]


def make_table(rows: int, cols: int, rate: float, seed: int = 12345, kind: str = "normal"):
    import numpy as np

    rng = np.random.default_rng(seed)
    if kind == "normal":
        x = rng.standard_normal((rows, cols))
    elif kind == "lowrank":
        x = rng.standard_normal((rows, 4)) @ rng.standard_normal((4, cols))
        x += 0.1 * rng.standard_normal((rows, cols))
    elif kind in ("digits", "loaddigits"):
        from sklearn.datasets import load_digits

        digits = load_digits().data
        x = np.tile(digits, (-(-rows // digits.shape[0]), 1))[:rows, :cols].astype(np.float64)
        if kind == "digits":
            x += 0.25 * rng.standard_normal(x.shape)
    else:
        raise ValueError(f"unknown table kind {kind!r}")
    x[rng.random((rows, cols)) < rate] = np.nan
    return x


def engine_skipped(kind: str, rows: int, cols: int, rate: float, engine: str | None):
    """The fraction of lane-columns (pair-elements) the kernels skipped on this very table, from
    the engine benchmark (the counter is not reachable from `import mirel`): None when the engine
    benchmark is not built."""
    if not engine or not os.path.exists(engine):
        return None
    x = make_table(rows, cols, rate, kind=kind)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "table.f64")
        x.astype("<f8").tofile(path)
        env = dict(os.environ, BENCH_REPEATS="1")
        done = subprocess.run(
            [engine, "@" + path, str(rows), str(cols)], check=True, capture_output=True, text=True, env=env
        )
    # The last kernel listed is the one `import mirel` uses (the fastest available).
    rows_out = [line.split() for line in done.stdout.splitlines() if line.startswith(f"{rows}x{cols}")]
    return float(rows_out[-1][7]) if rows_out else None


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

    x = make_table(args.rows, args.cols, args.rate, kind=args.kind)
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


def run_worker(
    library: str, rows: int, cols: int, rate: float, repeats: int, save: str | None = None, kind: str = "normal"
) -> dict:
    cmd = [
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        library,
        kind,
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


def compare_table(sizes, sk_repeats: int, mi_repeats: int, engine: str | None) -> None:
    import numpy as np

    print()
    print("mirel KnnImputer(k=5).fit(X).transform(X) vs sklearn KNNImputer(n_neighbors=5).fit_transform(X)")
    print("wall = best of the repeats; ratio = sklearn wall / mirel wall (cpu ratio: of the CPU times);")
    print("throughput = q*R*C / mirel wall; skipped = fraction of the pair-elements the kernels were")
    print("asked for that pruning skipped (engine benchmark on the same table, '-' when not built)")
    print(
        f"{'table':>7} {'size':>10} {'nan':>5} {'q':>6} | {'mirel s':>8} {'cpu s':>7} {'peak MiB':>8} {'+MiB':>7} | "
        f"{'sklearn s':>9} {'cpu s':>7} {'peak MiB':>8} {'+MiB':>7} | {'ratio':>6} {'cpu':>6} {'pair-el/s':>9} "
        f"{'max|diff|':>9} {'skipped':>7}"
    )
    with tempfile.TemporaryDirectory() as tmp:
        for kind, rows, cols, rate in sizes:
            a = os.path.join(tmp, "mirel.npy")
            b = os.path.join(tmp, "sklearn.npy")
            mi = run_worker("mirel", rows, cols, rate, mi_repeats, a, kind)
            sk = run_worker("sklearn", rows, cols, rate, sk_repeats, b, kind)
            mi2 = run_worker("mirel", rows, cols, rate, mi_repeats, None, kind)  # again, after sklearn
            if mi2["wall"] < mi["wall"]:
                mi.update(wall=mi2["wall"], cpu=min(mi["cpu"], mi2["cpu"]))
            diff = float(np.nanmax(np.abs(np.load(a) - np.load(b))))
            skipped = engine_skipped(kind, rows, cols, rate, engine)
            q = mi["query_rows"]
            work = q * rows * cols
            print(
                f"{kind:>7} {rows:>6}x{cols:<3} {rate:5.2f} {q:>6} | {mi['wall']:8.4f} {mi['cpu']:7.4f} "
                f"{mib(mi['peak_rss'])} {mib(mi['peak_rss'] - mi['rss_before'])} | "
                f"{sk['wall']:9.3f} {sk['cpu']:7.3f} {mib(sk['peak_rss'])} {mib(sk['peak_rss'] - sk['rss_before'])} | "
                f"{sk['wall'] / mi['wall']:6.1f} {sk['cpu'] / mi['cpu']:6.1f} {work / mi['wall']:9.2e} {diff:9.1e} "
                f"{'-' if skipped is None else format(skipped, '7.3f'):>7}",
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


def plot_series(rows_list, sk_repeats: int, mi_repeats: int, path: str) -> None:
    """Both libraries on tables of growing row count, then a log-log plot of wall time."""
    import numpy as np
    import sklearn

    print()
    print(f"series for the plot: {PLOT_COLS} columns, {PLOT_RATE:.0%} NaN; wall = best of the repeats")
    print(f"{'rows':>7} | {'mirel s':>9} | {'sklearn s':>9} | {'ratio':>6}")
    mirel_wall, sklearn_wall = [], []
    for rows in rows_list:
        mi = run_worker("mirel", rows, PLOT_COLS, PLOT_RATE, mi_repeats)
        sk = run_worker("sklearn", rows, PLOT_COLS, PLOT_RATE, sk_repeats)
        mirel_wall.append(mi["wall"])
        sklearn_wall.append(sk["wall"])
        print(f"{rows:>7} | {mi['wall']:9.4f} | {sk['wall']:9.3f} | {sk['wall'] / mi['wall']:6.1f}", flush=True)

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    fig, ax = plt.subplots(figsize=(7.5, 5.0), dpi=110)
    ax.loglog(
        rows_list,
        sklearn_wall,
        "s-",
        color="tab:orange",
        label=f"scikit-learn {sklearn.__version__} KNNImputer(n_neighbors=5).fit_transform(X)",
    )
    ax.loglog(rows_list, mirel_wall, "o-", color="tab:blue", label="mirel KnnImputer(k=5).fit(X).transform(X)")
    # A guide for time proportional to rows squared (every row with a NaN is measured
    # against every row), through mirel's last point.
    guide = [mirel_wall[-1] * (r / rows_list[-1]) ** 2 for r in rows_list]
    ax.loglog(rows_list, guide, ":", color="gray", label="proportional to rows\N{SUPERSCRIPT TWO}")
    for r, m, s in zip(rows_list, mirel_wall, sklearn_wall):
        ax.annotate(f"{s / m:.0f}x", (r, np.sqrt(m * s)), ha="center", va="center", fontsize=8, color="dimgray")
    ax.set_xticks(rows_list)
    ax.set_xticklabels([f"{r:,}" for r in rows_list])
    ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_xlabel(f"rows of X ({PLOT_COLS} columns, {PLOT_RATE:.0%} of cells NaN)")
    ax.set_ylabel("wall time, best of the repeats (seconds)")
    ax.set_title(
        f"k-NN imputation, one run, both libraries on the same tables\n"
        f"CPU: {cpu_name()} ({os.cpu_count()} logical cpus), Python {platform.python_version()}, "
        f"NumPy {np.__version__}",
        fontsize=9,
    )
    ax.grid(True, which="both", linewidth=0.4, alpha=0.5)
    ax.legend(fontsize=8, loc="upper left")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path)
    print(f"plot written to {path} (labels between the lines: scikit-learn time / mirel time)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=5, metavar=("LIBRARY", "KIND", "ROWS", "COLS", "RATE"))
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--save")
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--sklearn-repeats", type=int, default=2)
    parser.add_argument("--mirel-repeats", type=int, default=5)
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument(
        "--engine-bench",
        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "mirel_bench_engine"),
        help="engine benchmark binary (benchmarks/bench_engine.sh builds it) for the skipped column",
    )
    parser.add_argument(
        "--plot",
        help="where the plot goes (default benchmarks/bench_impute.png, or build/bench_impute_quick.png with --quick)",
    )
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args()
    if args.worker:
        library, kind, rows, cols, rate = args.worker
        args.library, args.kind, args.rows, args.cols, args.rate = library, kind, int(rows), int(cols), float(rate)
        worker(args)
        return
    header()
    compare_table(QUICK_SIZES if args.quick else SIZES, args.sklearn_repeats, args.mirel_repeats, args.engine_bench)
    if not args.no_plot:
        here = os.path.dirname(os.path.abspath(__file__))
        default = (
            os.path.join(here, "..", "build", "bench_impute_quick.png")
            if args.quick
            else os.path.join(here, "bench_impute.png")
        )
        plot_series(
            QUICK_PLOT_ROWS if args.quick else PLOT_ROWS,
            args.sklearn_repeats,
            args.mirel_repeats,
            os.path.normpath(args.plot or default),
        )
    if not args.no_scaling:
        scaling_table(QUICK_SCALING if args.quick else SCALING, args.mirel_repeats)


if __name__ == "__main__":
    main()
