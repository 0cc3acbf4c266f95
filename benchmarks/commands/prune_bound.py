"""How much work exact pruning can skip at best, on the benchmark tables (nan_euclid, k = 5).

For a sample of the rows to impute, every candidate's partial scaled sum is followed column by
column (the bound the kernels use: the partial sum of squares times cols / shared), and a
candidate counts as abandoned at the first check where that bound exceeds its threshold: the
largest of the row's per-cell thresholds (a candidate must be measured while any selection of
the row may take it). Printed per table, as the fraction of pair-elements skipped:

  ideal:    thresholds are the final ones from the first candidate on, a check after every
            column, one lane at a time (no exact pass can skip more by partial sums alone);
  natural:  thresholds are the running k-th distance of the candidates seen so far in row
            order (what a pass visiting candidates in row order has), one lane at a time, with
            a check after every column and with checks at the quarters (as the kernels check).

The kernels prune per group of lanes (4 portable, 16 AVX2, 32 AVX-512), which skips less.

    python benchmarks/bench.py prune-bound [--sample N]
"""

from __future__ import annotations

import argparse
import heapq

import numpy as np
import tables as T
from tables import make_table

SIZES = [T.spec(n) for n in T.COMPARE]

K = 5


def running_kth(values: np.ndarray) -> np.ndarray:
    """out[t]: the K-th smallest of values[:t] (+inf while fewer than K were seen)."""
    out = np.full(values.size, np.inf)
    heap: list[float] = []
    for t, x in enumerate(values):
        if len(heap) == K:
            out[t] = -heap[0]
        if len(heap) < K:
            heapq.heappush(heap, -x)
        elif x < -heap[0]:
            heapq.heapreplace(heap, -x)
    return out


def first_out(partial: np.ndarray, threshold: np.ndarray, checks: np.ndarray, steps: int) -> np.ndarray:
    """Columns measured per candidate: up to the first check where the bound exceeds the threshold."""
    measured = np.full(partial.shape[0], steps)
    for j in checks[::-1]:
        measured = np.where(partial[:, j - 1] > threshold, j, measured)
    return measured


def table_bounds(x: np.ndarray, sample: int, rng: np.random.Generator) -> dict[str, float]:
    rows, cols = x.shape
    held = ~np.isnan(x)
    zeroed = np.where(held, x, 0.0)
    receivers = np.flatnonzero((~held).any(axis=1))
    picked = rng.choice(receivers, size=min(sample, receivers.size), replace=False)
    measured = {"ideal": 0, "natural, every column": 0, "natural, quarters": 0}
    total = 0
    for r in picked:
        own = held[r]
        both = held & own
        squares = np.where(both, (zeroed - np.where(own, x[r], 0.0)) ** 2, 0.0)
        shared = both.sum(axis=1)
        with np.errstate(divide="ignore", invalid="ignore"):
            scale = np.where(shared > 0, cols / np.maximum(shared, 1), np.inf)
            d2 = squares.sum(axis=1) * scale
            partial = np.cumsum(squares[:, own], axis=1) * scale[:, None]
        partial = np.nan_to_num(partial, nan=0.0)  # 0 * inf for rows sharing nothing: never out
        d2[r] = np.inf
        final = np.zeros(rows)
        running = np.zeros(rows)
        for c in np.flatnonzero(~own):
            donors = np.where(held[:, c], d2, np.inf)
            donors[r] = np.inf
            final = np.maximum(final, np.partition(donors, K - 1)[K - 1])
            running = np.maximum(running, running_kth(donors))
        steps = int(own.sum())
        every = np.arange(1, steps)
        step = 2 if steps < 8 else (steps + 3) // 4
        quarters = np.arange(step, steps, step)
        measured["ideal"] += int(first_out(partial, final, every, steps).sum())
        measured["natural, every column"] += int(first_out(partial, running, every, steps).sum())
        measured["natural, quarters"] += int(first_out(partial, running, quarters, steps).sum())
        total += steps * rows
    return {name: 1.0 - m / total for name, m in measured.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py prune-bound", description=__doc__.splitlines()[0])
    parser.add_argument("--sample", type=int, default=150, help="rows to impute sampled per table")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)
    print(T.machine())
    print(f"skipped fraction of the pair-elements, k = {K}, {args.sample} sampled rows per table\n")
    rows_out = []
    for kind, rows, cols, rate in SIZES:
        b = table_bounds(make_table(rows, cols, rate, kind=kind), args.sample, rng)
        rows_out.append(
            [T.name_of(kind, rows, cols, rate)]
            + [f"{b[k]:.3f}" for k in ("ideal", "natural, every column", "natural, quarters")]
        )
    print(T.markdown(["table", "ideal", "natural, every column", "natural, quarters"], rows_out))
