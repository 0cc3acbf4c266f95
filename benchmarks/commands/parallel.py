"""All cores and many machines: mirel.sklearn.KNNImputer with n_jobs=1 and 2, and mirel.dask on
a LocalCluster of 2 worker processes against one process, side by side in one run.

    python benchmarks/bench.py parallel [--rows 50000] [--cols 10] [--rate 0.1] [--repeats 3]
                                        [--skip-threads] [--skip-dask]

Tables (tables.make_table: standard normal values, NaN cells uniformly at random,
fixed seeds): a fitted table F and a second table Q of the same shape.

threads: KNNImputer(n_jobs=j).fit(F) once, then transform(Q) timed, for j = 1, 2, 1, 2, ...
         (interleaved, so that both see the same machine load); best wall time of each, load
         average before and after every call, bits of all results compared.
dask:    scikit-learn face: mirel.dask.transform(est, Q as a dask array of 10 row blocks);
         KnnImputer: mirel.dask.paired_transform(F, Q', k=5), Q' = F with Q's NaN cells;
         on a fresh LocalCluster(n_workers=2, threads_per_worker=1, processes=True) per call
         (its start and the workers' imports are not timed; the graph build, the fitted
         state's trip to the workers and the result's trip back are), against the same call in one process (est.transform with
         n_jobs=1; mirel.KnnImputer(5).fit(F).transform(Q')). Peak RSS: ru_maxrss of every
         worker process, and of a fresh subprocess for the one-process call.
blocks:  the cost of one block of the row-paired semantics: the private row pass for rows [a, b)
         against the public transform of a whole fitted-shape table holding NaN only in [a, b).

Finally a projection, from the per-core throughput measured here, of a million-row table.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import tables as T
from tables import make_table


def _worker_reset() -> int:
    """On a worker: reset the peak RSS (Linux keeps it across fork) and return the RSS now."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _worker_import() -> None:
    """On a worker: the imports a task needs, done before the clock starts."""
    import mirel._paired  # noqa: F401
    import mirel.dask  # noqa: F401
    import mirel.sklearn  # noqa: F401


def _worker_peak() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def load() -> str:
    return "%.1f/%.1f/%.1f" % os.getloadavg()


def bits_equal(a, b) -> bool:
    import numpy as np

    return np.array_equal(
        np.ascontiguousarray(a, dtype=np.float64).view(np.uint64),
        np.ascontiguousarray(b, dtype=np.float64).view(np.uint64),
    )


def tables(rows: int, cols: int, rate: float):
    import numpy as np

    fitted = make_table(rows, cols, rate, seed=12345)
    query = make_table(rows, cols, rate, seed=54321)
    paired = fitted.copy()
    paired[np.isnan(query)] = np.nan
    return fitted, query, paired


def imputed_rows(x) -> int:
    import numpy as np

    return int(np.count_nonzero(np.isnan(x).any(axis=1)))


def bench_threads(fitted, query, repeats: int) -> dict:
    from mirel.sklearn import KNNImputer

    est = {j: KNNImputer(n_neighbors=5, n_jobs=j).fit(fitted) for j in (1, 2)}
    best = {1: float("inf"), 2: float("inf")}
    cpu = {1: float("inf"), 2: float("inf")}
    out = {}
    calls = []
    for rep in range(repeats):
        for j in (1, 2):
            before = load()
            c0, t0 = time.process_time(), time.perf_counter()
            out[j] = est[j].transform(query)
            wall = time.perf_counter() - t0
            used = time.process_time() - c0
            best[j] = min(best[j], wall)
            cpu[j] = min(cpu[j], used)
            calls.append([str(rep), str(j), f"{wall:.2f} s", f"{used:.2f} s", before, load()])
    print(T.markdown(["repeat", "n_jobs", "wall", "cpu (all threads)", "load before", "load after"], calls))
    print()
    same = bits_equal(out[1], out[2])
    q = imputed_rows(query)
    thr = q * fitted.shape[0] * fitted.shape[1] / best[1]
    head = ["n_jobs", "best wall", "least cpu", "speed-up", "work added by the split", "same bits"]
    rows = [
        ["1", f"{best[1]:.2f} s", f"{cpu[1]:.2f} s", "1.00x", "", ""],
        [
            "2",
            f"{best[2]:.2f} s",
            f"{cpu[2]:.2f} s",
            f"{best[1] / best[2]:.2f}x",
            f"{cpu[2] / cpu[1] - 1:+.1%}",
            str(same),
        ],
    ]
    print(T.markdown(head, rows))
    print(
        f"\nPer-core throughput (n_jobs=1): q x R x C / wall = {q} x {fitted.shape[0]} x {fitted.shape[1]}"
        f" / {best[1]:.2f} s = {thr:.3g} cell-distances/s.\n"
    )
    return {"t1": best[1], "t2": best[2], "same": same, "throughput": thr, "cpu1": cpu[1], "cpu2": cpu[2]}


def one_process(kind: str, rows: int, cols: int, rate: float) -> dict:
    """The one-process call in a fresh subprocess: wall time, peak RSS and a digest of the bits."""
    code = f"""
import hashlib, json, os, sys, time
sys.path.insert(0, {T.HERE!r})
import numpy as np
from commands.parallel import tables
import mirel
from mirel.sklearn import KNNImputer
fitted, query, paired = tables({rows}, {cols}, {rate})
open("/proc/self/clear_refs", "w").write("5")
before = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
t0 = time.perf_counter()
if {kind!r} == "sklearn":
    out = KNNImputer(n_neighbors=5, n_jobs=1).fit(fitted).transform(query)
else:
    out = mirel.KnnImputer(5).fit(fitted).transform(paired)
wall = time.perf_counter() - t0
peak = [int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
print(json.dumps({{"wall": wall, "peak": peak, "before": before,
                  "digest": hashlib.sha256(np.ascontiguousarray(out).tobytes()).hexdigest()}}))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def on_cluster(kind: str, fitted, query, paired, blocks: int) -> dict:
    import hashlib

    import dask.array as da
    import numpy as np
    from distributed import Client, LocalCluster

    from mirel.dask import paired_transform, transform
    from mirel.sklearn import KNNImputer

    rows = fitted.shape[0]
    chunk = -(-rows // blocks)
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None, silence_logs=50
        ) as cluster,
        Client(cluster) as client,
    ):
        client.run(_worker_import)
        base = client.run(_worker_reset)
        t0 = time.perf_counter()
        if kind == "sklearn":
            est = KNNImputer(n_neighbors=5, n_jobs=1).fit(fitted)
            lazy = transform(est, da.from_array(query, chunks=(chunk, -1)))
        else:
            lazy = paired_transform(fitted, da.from_array(paired, chunks=(chunk, -1)), 5)
        out = client.compute(lazy).result()
        wall = time.perf_counter() - t0
        peaks = client.run(_worker_peak)
    return {
        "wall": wall,
        "peaks": sorted(peaks.values()),
        "base": sorted(base.values()),
        "digest": hashlib.sha256(np.ascontiguousarray(out).tobytes()).hexdigest(),
    }


def bench_dask(fitted, query, paired, rate: float, blocks: int) -> dict:
    rows, cols = fitted.shape
    results = {}
    table = []
    for kind in ("sklearn", "paired"):
        before = load()
        single = one_process(kind, rows, cols, rate)
        cluster = on_cluster(kind, fitted, query, paired, blocks)
        same = single["digest"] == cluster["digest"]
        table.append(
            [
                kind,
                f"{single['wall']:.2f} s",
                f"{single['peak'] / 2**20:.0f} MiB ({single['before'] / 2**20:.0f} before)",
                f"{cluster['wall']:.2f} s",
                f"{single['wall'] / cluster['wall']:.2f}x",
                ", ".join(f"{p / 2**20:.0f}" for p in cluster["peaks"])
                + " MiB ("
                + ", ".join(f"{p / 2**20:.0f}" for p in cluster["base"])
                + " before)",
                str(same),
                f"{before} / {load()}",
            ]
        )
        results[kind] = {"single": single, "cluster": cluster, "same": same}
    head = [
        "call",
        "one process",
        "its peak RSS",
        f"LocalCluster 2 x 1 thread, {blocks} blocks",
        "ratio",
        "worker peak RSS",
        "same bits",
        "load before / after",
    ]
    print(T.markdown(head, table))
    print()
    return results


def bench_blocks(fitted, paired, block_rows: int) -> None:
    """One block of the row-paired semantics, the private way against the public way."""
    import numpy as np

    import mirel
    from mirel import _paired

    rows = fitted.shape[0]
    a, b = rows // 2, min(rows, rows // 2 + block_rows)
    t0 = time.perf_counter()
    private = _paired.impute_rows(fitted, np.ascontiguousarray(paired[a:b]), a, 5, "nan_euclid", "uniform")
    t_private = time.perf_counter() - t0
    whole = np.where(np.isnan(fitted), 0.0, fitted)  # rows outside the block: no NaN
    whole[a:b] = paired[a:b]
    t0 = time.perf_counter()
    public = mirel.KnnImputer(5).fit(fitted).transform(whole)[a:b]
    t_public = time.perf_counter() - t0
    extra = 2 * whole.nbytes
    head = ["rows", "private row pass", "public transform of the whole table", "its extra memory per task", "same bits"]
    row = [
        f"[{a}, {b}) of {rows}",
        f"{t_private:.2f} s",
        f"{t_public:.2f} s",
        f"+{extra / 2**20:.0f} MiB (a whole input and result)",
        str(bits_equal(private, public)),
    ]
    print(T.markdown(head, [row]))
    print()


def projection(threads: dict, rows_measured: int, cols: int, rate: float) -> None:
    rows = 1_000_000
    q = rows * (1 - (1 - rate) ** cols)  # rows with a missing cell, at this NaN rate
    work = q * rows * cols
    # Per-core throughput from the CPU time of the one-thread pass (on a shared machine the wall
    # time also counts the time the thread waited for a core); the split's cost per core from
    # the CPU time of two threads against one (the work they add).
    per_core = threads["throughput"] * threads["t1"] / threads["cpu1"]
    eff = min(1.0, threads["cpu1"] / threads["cpu2"])
    print(
        f"Per-core throughput from CPU time: {per_core:.3g} cell-distances/s; "
        f"work kept by the split into 2 threads: {eff:.0%}. "
        f"A {rows:,}-row table, {cols} columns, NaN rate {rate} (about {q:,.0f} rows to impute), "
        f"transform against {rows:,} fitted rows: {work:.3g} cell-distances.\n"
    )
    table = []
    for cores in (1, 16, 64):
        secs = work / (per_core * (1 if cores == 1 else cores * eff))
        table.append([str(cores), f"{secs / 3600:.2f} h", f"{secs:,.0f} s"])
    print(T.markdown(["cores", "projected time", "in seconds"], table))
    print(
        "\n(a PROJECTION, not a measurement: per-core throughput measured here on "
        f"{rows_measured:,} rows, work per core assumed constant as the fitted rows grow and"
        " scaling assumed linear in the cores; memory bandwidth, NUMA, the panel's cache fit and"
        " the network of a cluster ignored)"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="bench.py parallel", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rows", type=int, default=50000)
    parser.add_argument("--cols", type=int, default=10)
    parser.add_argument("--rate", type=float, default=0.1)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--blocks", type=int, default=10)
    parser.add_argument("--skip-threads", action="store_true")
    parser.add_argument("--skip-dask", action="store_true")
    args = parser.parse_args(argv)
    print(T.machine())
    print(T.versions())
    fitted, query, paired = tables(args.rows, args.cols, args.rate)
    print(
        f"\nTables: {args.rows} x {args.cols}, NaN rate {args.rate}; rows to impute: query {imputed_rows(query)}, "
        f"paired {imputed_rows(paired)}.\n"
    )
    threads = None
    if not args.skip_threads:
        print("### Threads: mirel.sklearn.KNNImputer(n_neighbors=5).fit(F).transform(Q)\n")
        threads = bench_threads(fitted, query, args.repeats)
    if not args.skip_dask:
        print("### Dask\n")
        bench_dask(fitted, query, paired, args.rate, args.blocks)
        print("### One block of the row-paired semantics\n")
        bench_blocks(fitted, paired, -(-args.rows // args.blocks))
    if threads is not None:
        print("### Projection\n")
        projection(threads, args.rows, args.cols, args.rate)
    print(f"\nLoad average at the end {load()}.")
