"""mirel alone over the rows: time per pair-element stays flat when the cost has no R^2 log R term;
and both libraries over the rows, drawn as a log-log plot.

    python benchmarks/bench.py scaling [--quick] [--repeats N] [--sklearn-repeats N] [--plot PATH] [--no-plot]

Scaling: mirel.KnnImputer(k=5).fit(X).transform(X) on standard normal tables of 16 columns, 10%
NaN, 2,500 to 40,000 rows (tables.SCALING), each in a fresh process (`bench.py worker`): ns per
pair-element = time / (q x R x C), q the rows with a missing cell, by wall and by CPU time; growth
= CPU time over the previous size's, expected = the ratio of q x R x C (an R^2 log R term would
make growth exceed expected increasingly).

Plot: both libraries (scikit-learn's KNNImputer(n_neighbors=5).fit_transform(X)) on 1,000 to
16,000 rows (tables.PLOT), drawn as wall time against rows, log-log, with the CPU named in the
title (by default into benchmarks/bench_impute.png; with --quick into build/; needs matplotlib,
in the `bench` extra).
"""

from __future__ import annotations

import argparse
import os
import platform

import tables as T
from tables import cpu_name, mib

PLOT_COLS, PLOT_RATE = 16, 0.10


def run_worker(library, rows, cols, rate, repeats):
    call = "KnnImputer" if library == "mirel" else "sklearn"
    return T.measure(call, T.name_of("normal", rows, cols, rate), repeats, cold=True)


def scaling_table(sizes, repeats: int) -> None:
    print()
    print("mirel alone (k=5, nan_euclid, uniform): ns per pair-element = time / (q*R*C); growth = CPU time")
    print("over the previous size's, expected = the ratio of q*R*C (an R^2 log R term would make growth")
    print("exceed expected increasingly)")
    print()
    rows_out = []
    previous = None
    for rows, cols, rate in sizes:
        r = run_worker("mirel", rows, cols, rate, repeats)
        work = r["query_rows"] * rows * cols
        growth = expected = "-"
        if previous is not None:
            growth, expected = f"{r['cpu'] / previous[0]:.2f}", f"{work / previous[1]:.2f}"
        rows_out.append(
            [
                f"{rows}x{cols}",
                str(r["query_rows"]),
                f"{work:.2e}",
                T.seconds(r["wall"]),
                T.seconds(r["cpu"]),
                f"{1e9 * r['wall'] / work:.3f}",
                f"{1e9 * r['cpu'] / work:.3f}",
                growth,
                expected,
                mib(r["peak_rss"] - r["rss_before"]),
            ]
        )
        previous = (r["cpu"], work)
    head = ["size", "q", "q*R*C", "wall", "CPU", "ns wall", "ns CPU", "growth", "expected", "+MiB"]
    print(T.markdown(head, rows_out))


def plot_series(rows_list, sk_repeats: int, mi_repeats: int, path: str) -> None:
    """Both libraries on tables of growing row count, then a log-log plot of wall time."""
    import numpy as np
    import sklearn

    print()
    print(f"series for the plot: {PLOT_COLS} columns, {PLOT_RATE:.0%} NaN; wall = best of the repeats")
    print("| rows | mirel | sklearn | ratio |\n| ---: | ---: | ---: | ---: |")
    mirel_wall, sklearn_wall = [], []
    for rows in rows_list:
        mi = run_worker("mirel", rows, PLOT_COLS, PLOT_RATE, mi_repeats)
        sk = run_worker("sklearn", rows, PLOT_COLS, PLOT_RATE, sk_repeats)
        mirel_wall.append(mi["wall"])
        sklearn_wall.append(sk["wall"])
        print(
            f"| {rows} | {T.seconds(mi['wall'])} | {T.seconds(sk['wall'])} | {sk['wall'] / mi['wall']:.1f}x |",
            flush=True,
        )

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


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py scaling", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller tables")
    parser.add_argument("--repeats", type=int, default=5, help="timed calls of mirel per process")
    parser.add_argument("--sklearn-repeats", type=int, default=2)
    parser.add_argument("--plot", help="where the plot goes (default benchmarks/bench_impute.png; build/ with --quick)")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)
    print(T.machine())
    print(T.versions())
    sizes = [T.spec(n)[1:] for n in (T.QUICK_SCALING if args.quick else T.SCALING)]
    scaling_table(sizes, args.repeats)
    if not args.no_plot:
        default = (
            os.path.join(T.HERE, "..", "build", "bench_impute_quick.png")
            if args.quick
            else os.path.join(T.HERE, "bench_impute.png")
        )
        rows = [T.spec(n)[1] for n in (T.QUICK_PLOT if args.quick else T.PLOT)]
        plot_series(rows, args.sklearn_repeats, args.repeats, os.path.normpath(args.plot or default))
