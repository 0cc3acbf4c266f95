"""A straightforward model of mirel.sklearn.MixedImputer, written from its rules, for the
differential tests. Cell by cell, pair by pair, in plain Python: slow and obvious.

Variables. A boolean column (``bool``, ``boolean``), an unordered categorical and a string
column are nominal; an ordered categorical is ordinal (its categories are its levels, in
order); integer and float columns are numeric. The levels of a string column are its distinct
values in the fitted table, sorted.

Distance between rows a and b, over the distance variables observed in both, in column order,
numerator and denominator each summed from +0.0:
    numeric   |a - b| * (w / range)   (range = max - min of the fitted column; 0 when 0)
    nominal   w if a != b else 0
    ordinal   |rank a - rank b| * (w / (levels - 1))   (0 for a single level)
    (where w / range overflows: w * (|a - b| / range))
    d = numerator / (sum of w); no distance when that sum is 0 (no shared variable).

Donors of a missing cell: the first k fitted rows by (distance, row index) that hold a value in
its column and have a distance. Values: numeric median (even count: mean of the two middle
values, the lower one for integer columns), or mean / distance-weighted mean (the engine's
weighted mean, rounded to the nearest integer, ties to even, for integer columns); nominal:
the most frequent category (counts, or weights 1/d with only the zero-distance donors when
one is at zero), ties to the category of the nearest tied donor; ordinal: the lower median
level. No donor: the fitted column's summary (numeric median, ordinal lower median level,
the most frequent category with ties to the first level). A column with no fitted value stays
missing. Rows with more than ``row_max_missing`` of their cells missing get the summaries.
"""

import math

import numpy as np
import pandas as pd


def _weighted_mean(values, dist, by_distance):
    """A model of the engine's weighted mean (`weighted_mean` of the query pass) of each row of `values`, the donors without
    a distance (NaN, ranked last) left out: sums in rank order from +0.0, and where they
    overflow, underflow or round past the donors' values, the overflow-free form."""
    held = ~np.isnan(dist)
    with np.errstate(over="ignore", invalid="ignore", divide="ignore", under="ignore"):
        if by_distance:
            w = 1.0 / dist
            infinite = np.isinf(w) & held
            zero_rows = infinite.any(axis=1)
            w = np.where(zero_rows[:, None], infinite.astype(np.float64), w)
        else:
            w = np.ones_like(values)
        w[~held] = 0.0
        total = np.zeros(values.shape[0])
        acc = np.zeros(values.shape[0])
        for j in range(values.shape[1]):
            live = held[:, j]
            acc = np.where(live, acc + values[:, j] * w[:, j], acc)
            total = np.where(live, total + w[:, j], total)
        weighted = held & (w > 0.0)
        low = np.where(weighted, values, np.inf).min(axis=1)
        high = np.where(weighted, values, -np.inf).max(axis=1)
        mean = acc / total
        good = (total > 0.0) & np.isfinite(total) & (mean >= low) & (mean <= high)
        if good.all():
            return mean
        # The overflow-free form: weights scaled by the largest (all 1 when all are zero) and
        # normalised before they multiply the values; the result kept within the donors' values.
        bad = ~good
        wb, vb, hb = w[bad], values[bad], held[bad]
        largest = wb.max(axis=1)
        scaled = np.where(
            (largest == 0.0)[:, None], hb.astype(np.float64), wb / np.where(largest == 0.0, 1.0, largest)[:, None]
        )
        tot = np.zeros(vb.shape[0])
        for j in range(vb.shape[1]):
            tot = np.where(hb[:, j], tot + scaled[:, j], tot)
        acc = np.zeros(vb.shape[0])
        for j in range(vb.shape[1]):
            acc = np.where(hb[:, j], acc + vb[:, j] * (scaled[:, j] / tot), acc)
        positive = hb & (scaled > 0.0)
        lo = np.where(positive, vb, np.inf).min(axis=1)
        hi = np.where(positive, vb, -np.inf).max(axis=1)
        mean[bad] = np.minimum(np.maximum(acc, lo), hi)
        return mean


def kind_of(dtype):
    if pd.api.types.is_bool_dtype(dtype):
        return "nominal"
    if isinstance(dtype, pd.CategoricalDtype):
        return "ordinal" if dtype.ordered else "nominal"
    if isinstance(dtype, pd.StringDtype):
        return "nominal"
    if pd.api.types.is_integer_dtype(dtype) or pd.api.types.is_float_dtype(dtype):
        return "numeric"
    raise TypeError(dtype)


def is_missing(v):
    return v is None or v is pd.NA or (isinstance(v, float) and math.isnan(v))


def levels_of(series):
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return list(dtype.categories)
    if pd.api.types.is_bool_dtype(dtype):
        return [False, True]
    if isinstance(dtype, pd.StringDtype):
        return sorted({v for v in series.tolist() if not is_missing(v)})
    return None


def encode(df, fitted_df):
    """Rows of Python floats (NaN for missing): numbers as they are, categories by level."""
    out = []
    for name in df.columns:
        col = df[name].tolist()
        levels = levels_of(fitted_df[name])
        if levels is None:
            out.append([math.nan if is_missing(v) else float(v) for v in col])
        else:
            out.append([math.nan if is_missing(v) else float(levels.index(v)) for v in col])
    return [list(r) for r in zip(*out)]


def gower(a, b, kinds, ranges, nlevels, weights, in_distance):
    num = 0.0
    den = 0.0
    for j, kind in enumerate(kinds):
        if not in_distance[j] or math.isnan(a[j]) or math.isnan(b[j]):
            continue
        w = weights[j]
        scale = ranges[j] if kind == "numeric" else float(nlevels[j] - 1)
        if kind == "nominal":
            term = w if a[j] != b[j] else 0.0
        elif scale == 0.0:
            term = 0.0
        elif math.isfinite(w / scale):
            term = abs(a[j] - b[j]) * (w / scale)
        else:
            term = w * (abs(a[j] - b[j]) / scale)
        num += term
        den += w
    return None if den == 0.0 else num / den


def median_of(values, integral):
    v = sorted(values)
    m = len(v)
    if m % 2 == 1:
        return v[m // 2]
    lo, hi = v[m // 2 - 1], v[m // 2]
    if integral:
        return lo
    mid = (lo + hi) / 2
    return mid if math.isfinite(mid) else lo / 2 + hi / 2


def vote(codes, dists, weighted):
    if weighted:
        zero = any(d == 0.0 for d in dists)
        ws = [(1.0 if d == 0.0 else 0.0) if zero else 1.0 / d for d in dists]
    else:
        ws = [1.0] * len(codes)
    score = {}
    for c, w in zip(codes, ws):
        score[c] = score.get(c, 0.0) + w
    best = max(score.values())
    for c in codes:  # rank order: the nearest tied donor decides
        if score[c] == best:
            return c
    raise AssertionError


def summary(values, kind, integral):
    if not values:
        return math.nan
    if kind == "numeric":
        return median_of(values, integral)
    if kind == "ordinal":
        return median_of(values, True)
    counts = {}
    for v in values:
        counts[v] = counts.get(v, 0) + 1
    best = max(counts.values())
    return min(c for c, n in counts.items() if n == best)


def model(
    fit_df,
    query_df,
    n_neighbors=5,
    weights=None,
    dist_var=None,
    numeric="median",
    weighted_votes=False,
    row_max_missing=1.0,
    summary_columns=(),
):
    """The imputed encoded table of `query_df` (rows of floats, NaN where a cell stays missing)."""
    names = list(fit_df.columns)
    kinds = [kind_of(fit_df[c].dtype) for c in names]
    integral = [kinds[j] == "numeric" and pd.api.types.is_integer_dtype(fit_df[c].dtype) for j, c in enumerate(names)]
    nlevels = [len(levels_of(fit_df[c])) if kinds[j] != "numeric" else 0 for j, c in enumerate(names)]
    fitted = encode(fit_df, fit_df)
    query = encode(query_df, fit_df)
    p = len(names)
    w = [1.0] * p if weights is None else [float(x) for x in weights]
    in_distance = [True] * p if dist_var is None else [c in dist_var for c in names]
    cols = [[r[j] for r in fitted if not math.isnan(r[j])] for j in range(p)]
    ranges = [(max(c) - min(c)) if c else 0.0 for c in cols]
    summaries = [summary(cols[j], kinds[j], integral[j]) for j in range(p)]
    out = []
    for q in query:
        row = list(q)
        missing = [j for j in range(p) if math.isnan(q[j])]
        if missing and len(missing) / p > row_max_missing:
            out.append([summaries[j] if j in missing else q[j] for j in range(p)])
            continue
        dists = [gower(q, f, kinds, ranges, nlevels, w, in_distance) for f in fitted]
        order = sorted((d, i) for i, d in enumerate(dists) if d is not None)
        for j in missing:
            if not cols[j]:
                continue
            if names[j] in summary_columns:
                row[j] = summaries[j]
                continue
            donors = [(d, i) for d, i in order if not math.isnan(fitted[i][j])][:n_neighbors]
            if not donors:
                row[j] = summaries[j]
                continue
            values = [fitted[i][j] for _, i in donors]
            dd = [d for d, _ in donors]
            if kinds[j] == "numeric":
                if numeric == "median":
                    row[j] = median_of(values, integral[j])
                else:
                    v = float(_weighted_mean(np.array([values]), np.array([dd]), numeric == "distance")[0])
                    row[j] = float(np.rint(v)) + 0.0 if integral[j] else v
            elif kinds[j] == "ordinal":
                row[j] = median_of(values, True)
            else:
                row[j] = vote(values, dd, weighted_votes)
        out.append(row)
    return out


def decode(rows, fit_df, query_df):
    """The model's rows as the values a DataFrame cell would hold (None where missing)."""
    cols = {}
    for j, name in enumerate(query_df.columns):
        levels = levels_of(fit_df[name])
        vals = []
        for r in rows:
            v = r[j]
            if math.isnan(v):
                vals.append(None)
            elif levels is None:
                vals.append(v)
            else:
                vals.append(levels[int(v)])
        cols[name] = vals
    return cols
