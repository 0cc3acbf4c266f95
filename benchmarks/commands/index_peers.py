"""The FAISS-based peers on the tables of `bench.py index`: fknni's FastKNNImputer and
faiss-imputer's FaissImputer with an IVF100 index (k=5, fit_transform, time and RMSE on the
removed cells). They need FAISS and Python 3.12+, so this runs in a separate environment:

    ~/.pyenv/versions/3.12*/bin/python -m venv /tmp/faiss-venv
    /tmp/faiss-venv/bin/pip install faiss-cpu fknni faiss-imputer
    /tmp/faiss-venv/bin/python benchmarks/bench.py index-peers --sizes 100000

The tables are benchmarks/tables.py's mixture (that module needs only NumPy here). The peers are for comparison only, never
a dependency of mirel.
"""

import argparse
import os
import time

import numpy as np
import tables as T


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100000")
    parser.add_argument("--factory", default="IVF100,Flat")
    args = parser.parse_args(argv)
    from faiss_imputer import FaissImputer
    from fknni import FastKNNImputer

    print(f"FAISS peers, index {args.factory}, k=5; {os.cpu_count()} logical CPUs")
    for size in (int(s) for s in args.sizes.split(",") if s):
        full, holed = T.mixture(size)
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
