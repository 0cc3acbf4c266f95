"""MixedImputer on a mixed table against the numeric pass of the same shape and against
scikit-learn's encode-impute-decode pipeline for the same job. One run each, side by side.

    python benchmarks/bench.py mixed [--rows 100000] [--sklearn-rows 10000]

The mixed table: 10 numeric, 6 categorical (2-12 levels), 2 ordered (5 levels), 2 boolean
columns, 10% of the cells missing at random. The numeric table: 20 float64 columns, 10% missing.
scikit-learn's pipeline: one-hot encode the categories (ordered ones as their rank), impute with
sklearn.impute.KNNImputer, then take the argmax of each category's one-hot block and round the
ranks back (what its users write by hand); measured on fewer rows, since it is O(rows^2) too.
"""

import argparse
import time

import numpy as np
import pandas as pd
import tables as T  # noqa: E402


def numeric_table(rows, seed=1):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, 20))
    X[rng.random(X.shape) < 0.1] = np.nan
    return X


def sklearn_pipeline(df):
    """One-hot encode, KNNImputer, decode: the scikit-learn way of doing the same job."""
    from sklearn.impute import KNNImputer

    blocks, decoders = [], []
    for name in df.columns:
        s = df[name]
        if isinstance(s.dtype, pd.CategoricalDtype) and not s.dtype.ordered or s.dtype == "boolean":
            cats = s.cat.categories if isinstance(s.dtype, pd.CategoricalDtype) else pd.Index([False, True])
            codes = (
                s.cat.codes.to_numpy() if isinstance(s.dtype, pd.CategoricalDtype) else s.to_numpy(float, na_value=-1)
            )
            codes = np.asarray(codes, dtype=np.int64)
            onehot = (codes[:, None] == np.arange(len(cats))[None, :]).astype(float)
            onehot[codes < 0] = np.nan
            decoders.append(("onehot", name, len(cats), cats))
            blocks.append(onehot)
        elif isinstance(s.dtype, pd.CategoricalDtype):
            codes = s.cat.codes.to_numpy().astype(float)
            codes[codes < 0] = np.nan
            decoders.append(("rank", name, 1, s.cat.categories))
            blocks.append(codes[:, None])
        else:
            decoders.append(("num", name, 1, None))
            blocks.append(s.to_numpy(float, na_value=np.nan)[:, None])
    X = np.hstack(blocks)
    filled = KNNImputer(n_neighbors=5).fit_transform(X)
    out, at = {}, 0
    for kind, name, width, cats in decoders:
        part = filled[:, at : at + width]
        at += width
        if kind == "onehot":
            out[name] = np.asarray(cats)[part.argmax(axis=1)]
        elif kind == "rank":
            out[name] = np.asarray(cats)[np.clip(np.rint(part[:, 0]), 0, len(cats) - 1).astype(int)]
        else:
            out[name] = part[:, 0]
    return pd.DataFrame(out, index=df.index)


def timed(f):
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


def main(argv=None):
    from mirel import _gower
    from mirel.sklearn import KNNImputer, MixedImputer

    ap = argparse.ArgumentParser(prog="bench.py mixed", description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--sklearn-rows", type=int, default=10_000)
    args = ap.parse_args(argv)
    print(f"CPU: {T.cpu_name()}; Gower loops: {_gower.kernels()[-1]}; one run each")
    mixed = T.mixed_table(args.rows)
    numeric = numeric_table(args.rows)
    for jobs in (1, 2):
        t_mixed = timed(lambda jobs=jobs: MixedImputer(n_neighbors=5, n_jobs=jobs).fit_transform(mixed))
        t_num = timed(lambda jobs=jobs: KNNImputer(n_neighbors=5, n_jobs=jobs).fit_transform(numeric))
        print(
            f"{args.rows} x 20, n_jobs={jobs}: MixedImputer {t_mixed:.2f} s, KNNImputer (nan_euclidean) "
            f"{t_num:.2f} s, ratio {t_mixed / t_num:.2f}"
        )
    small = T.mixed_table(args.sklearn_rows)
    t_mine = timed(lambda: MixedImputer(n_neighbors=5).fit_transform(small))
    t_sk = timed(lambda: sklearn_pipeline(small))
    print(
        f"{args.sklearn_rows} x 20 mixed, one thread: MixedImputer {t_mine:.2f} s, scikit-learn one-hot + "
        f"KNNImputer + decode {t_sk:.2f} s, ratio {t_sk / t_mine:.1f}"
    )
