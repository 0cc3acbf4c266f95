"""One table against scikit-learn on this machine: the figure the README's headline quotes.

    python benchmarks/bench.py headline [--table normal-10000x32-nan5] [--repeats N]

Times mirel.KnnImputer(k=5).fit(X).transform(X) and mirel.sklearn.KNNImputer(n_neighbors=5)
.fit_transform(X) against sklearn.impute.KNNImputer(n_neighbors=5).fit_transform(X) on one table
(10,000 x 32 standard normal cells, 5% NaN, by default), each in a fresh process, as
`bench.py compare` does, and prints the CPU, the markdown table and the ratio. It takes about a
minute on a 2-core machine (scikit-learn's part is most of it).
"""

from __future__ import annotations

import argparse

import tables as T

from commands import compare


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py headline", description=__doc__.splitlines()[0])
    parser.add_argument("--table", default=T.HEADLINE, help=f"a table name (default {T.HEADLINE})")
    parser.add_argument("--repeats", type=int, default=3, help="timed calls of mirel per process (default 3)")
    args = parser.parse_args(argv)
    try:
        T.spec(args.table)
    except ValueError as e:
        parser.error(str(e))
    records = compare.run([args.table], ("KnnImputer", "mirel.sklearn"), args.repeats, 1, skipped=False)
    ratios = [r["sklearn"]["wall"] / r["mirel"]["wall"] for r in records]
    print(
        f"\nmirel was {min(ratios):.0f} to {max(ratios):.0f} times faster than scikit-learn on {args.table} "
        f"(wall time), on {T.cpu_name()}"
    )
