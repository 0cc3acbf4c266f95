"""The candidate index on Dask: the index built once, query blocks spread over the workers of a
distributed.LocalCluster, with the per-block costs a plan for a larger cluster is made from.

On a Gaussian mixture of --rows rows x 20 columns (10% of cells removed):

* fit: mirel.sklearn.KNNImputer(algorithm="ivf", random_state=0) on all rows (k-means, lists,
  recall measurement), in this process;
* shipping: the pickled estimator's size (the fitted table, the centroids and the list of every
  row: no panel, no k-means) and the time to unpickle it (a worker lays out the panel once);
* one block: transform of one block of --block rows in this process, one thread;
* the cluster: mirel.dask.transform(est, X) for X in blocks of --block rows (read from a zarr
  store in a temporary directory) on a LocalCluster of --workers worker processes x 1 thread, timed from submit to the last result, beside
  est.transform(X) in this process on --workers threads; the bits compared.

Usage: python benchmarks/bench.py index-dask [--rows 1000000] [--block 50000] [--workers 2]
"""

import argparse
import os
import pickle
import shutil
import tempfile
import time
import warnings

import numpy as np
import tables as T


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--block", type=int, default=50_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)
    import dask.array as da
    from distributed import Client, LocalCluster

    import mirel.dask
    from mirel.sklearn import KNNImputer

    print(T.machine())
    print(T.versions())
    full, holed = T.mixture(args.rows)
    cells = np.isnan(holed)
    need = int(cells.any(axis=1).sum())
    out = []

    est = KNNImputer(algorithm="ivf", random_state=0, n_jobs=args.workers)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        t = time.perf_counter()
        est.fit(holed)
        t_fit = time.perf_counter() - t
    lists = est._index.lists
    out.append(
        [
            "fit (k-means, lists, recall)",
            f"{t_fit:.2f}",
            f"{lists} lists, probe {est.n_probe_}, recall {est.recall_:.4f}",
        ]
    )

    t = time.perf_counter()
    blob = pickle.dumps(est, protocol=pickle.HIGHEST_PROTOCOL)
    t_dump = time.perf_counter() - t
    t = time.perf_counter()
    pickle.loads(blob)  # what a worker does once
    t_load = time.perf_counter() - t
    out.append(["pickle / unpickle the estimator", f"{t_dump:.2f} / {t_load:.2f}", f"{len(blob) / 2**20:.0f} MiB"])

    one = pickle.loads(blob).set_params(n_jobs=1)  # what each worker runs: one thread per task
    block = holed[: args.block]
    t = time.perf_counter()
    one.transform(block)
    t_block = time.perf_counter() - t
    block_need = int(np.isnan(block).any(axis=1).sum())
    out.append([f"one block of {args.block:,} rows, 1 thread", f"{t_block:.2f}", f"{block_need:,} rows impute a cell"])

    t = time.perf_counter()
    local = est.transform(holed)
    t_local = time.perf_counter() - t
    out.append([f"transform in this process, {args.workers} threads", f"{t_local:.2f}", f"{need:,} rows impute a cell"])

    with (
        LocalCluster(
            n_workers=args.workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            silence_logs=50,
        ) as cluster,
        Client(cluster) as client,
    ):
        # The rows come from a store the workers read themselves (as a cluster's would), not
        # from this process's memory through the graph.
        store = os.path.join(tempfile.mkdtemp(prefix="mirel-index-dask-"), "holed.zarr")
        da.from_array(holed, chunks=(args.block, -1)).to_zarr(store)
        X = da.from_zarr(store)
        t = time.perf_counter()
        lazy = mirel.dask.transform(one, X)
        got = client.compute(lazy).result()
        t_cluster = time.perf_counter() - t
    shutil.rmtree(os.path.dirname(store), ignore_errors=True)
    same = np.array_equal(got.view(np.uint64), local.view(np.uint64))
    blocks = -(-args.rows // args.block)
    out.append(
        [
            f"LocalCluster {args.workers} workers x 1 thread, {blocks} blocks",
            f"{t_cluster:.2f}",
            f"same bits as in one process: {same}",
        ]
    )
    rmse = float(np.sqrt(np.mean((got[cells] - full[cells]) ** 2)))
    print(f"\nmixture(20) {args.rows:,} x 20, 10% removed, k=5; RMSE on the removed cells {rmse:.4f}\n")
    print(T.markdown(["step", "what", "seconds"], [[a, c, b] for a, b, c in out], right=2))
    per_row = t_block / max(block_need, 1)
    print(f"\nper imputed row, one thread: {per_row * 1e6:.1f} us (candidates scale with fitted rows x probe / lists)")
    print(f"load at the end {T.load()}")
