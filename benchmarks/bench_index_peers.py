"""The FAISS-based peers on the tables of bench_index.py: fknni's FastKNNImputer and
faiss-imputer's FaissImputer with an IVF100 index (k=5, fit_transform, time and RMSE on the
removed cells). They need FAISS and Python 3.12+, so this runs in a separate environment:

    ~/.pyenv/versions/3.12*/bin/python -m venv /tmp/faiss-venv
    /tmp/faiss-venv/bin/pip install faiss-cpu fknni faiss-imputer
    /tmp/faiss-venv/bin/python benchmarks/bench_index_peers.py --sizes 100000

The tables are bench_index.mixture's (a copy below: that module imports mirel; NumPy's
generator gives the same table in both environments). The peers are for comparison only, never
a dependency of mirel.
"""

import argparse
import os
import time

import numpy as np


def mixture(rows, cols=20, clusters=20, rate=0.1, seed=0):
    # A copy of bench_index.mixture (that module imports mirel, absent from this environment).
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 5, (clusters, cols))
    full = centres[rng.integers(clusters, size=rows)] + rng.normal(size=(rows, cols))
    holed = full.copy()
    holed[rng.random(full.shape) < rate] = np.nan
    return full, holed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100000")
    parser.add_argument("--factory", default="IVF100,Flat")
    args = parser.parse_args(argv)
    from faiss_imputer import FaissImputer
    from fknni import FastKNNImputer

    print(f"FAISS peers, index {args.factory}, k=5; {os.cpu_count()} logical CPUs")
    for size in (int(s) for s in args.sizes.split(",") if s):
        full, holed = mixture(size)
        cells = np.isnan(holed)
        for name, make in (
            ("fknni FastKNNImputer", lambda: FastKNNImputer(n_neighbors=5, index_factory=args.factory)),
            ("faiss-imputer FaissImputer", lambda: FaissImputer(n_neighbors=5, index_factory=args.factory)),
        ):
            try:
                t = time.perf_counter()
                got = np.asarray(make().fit_transform(holed.copy()), dtype=np.float64)
                took = time.perf_counter() - t
                err = float(np.sqrt(np.mean((got[cells] - full[cells]) ** 2)))
                print(f"{name:<28} {size:>8}  {took:8.2f} s  RMSE {err:.4f}", flush=True)
            except Exception as exc:  # a peer that fails is reported, not fatal
                print(f"{name:<28} {size:>8}  failed: {type(exc).__name__}: {exc}", flush=True)


if __name__ == "__main__":
    main()
