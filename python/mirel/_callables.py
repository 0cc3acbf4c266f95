"""The callable paths of mirel.sklearn.KNNImputer (private).

A callable metric gives the distances (through scikit-learn's pairwise machinery, chunk by
chunk); otherwise the engine forms nan_euclidean distances itself. Either way the engine
(``mirel._query.Rows``) chooses the donors of every cell and, for the built-in weights, averages
them; callable weights get the chosen donors back and are applied as scikit-learn applies them.
This module only validates and moves data.
"""

import numpy as np
from sklearn.utils._missing import is_scalar_nan

from mirel import _query

# Query rows per chunk: about this many distances per chunk (8 MiB), as scikit-learn's working
# memory would give; callable weights are called once per column and chunk.
_CHUNK_ENTRIES = 1 << 20


def impute(rows, work, X, cells, k, *, metric, weights, missing_values, fitted_marked, ensure_all_finite, report):
    """Imputes the `cells` of `work` (C-ordered float64, NaN in those cells) in place.

    `rows` is the estimator's mirel._query.Rows; `X` the validated input that a callable metric
    sees (with `missing_values` in its missing cells); `fitted_marked()` the fitted table as a
    callable metric sees it; `report(done_rows, total_rows)` (or None) is called before each
    chunk."""
    imputed = np.flatnonzero(cells.any(axis=1))
    if callable(metric):
        from sklearn.metrics import pairwise_distances_chunked

        chunks = (
            (len(chunk), np.ascontiguousarray(chunk, dtype=np.float64))
            for chunk in pairwise_distances_chunked(
                X[imputed, :],
                fitted_marked(),
                metric=metric,
                missing_values=missing_values,
                ensure_all_finite=ensure_all_finite,
            )
        )
    else:
        step = max(1, _CHUNK_ENTRIES // max(1, rows.shape[0]))
        chunks = ((min(step, imputed.size - i), None) for i in range(0, imputed.size, step))
    if weights is None:
        weights = "uniform"  # scikit-learn's meaning of None
    # Callable weights get every selection of a chunk at once (cells x min(k, fitted rows)
    # donors): chunks of more rows than keep that near _CHUNK_ENTRIES are cut (only a large k on a
    # wide table comes near it).
    cut = max(1, _CHUNK_ENTRIES // max(1, work.shape[1] * min(k, rows.shape[0])))
    total = work.shape[0]
    complete = total - imputed.size  # rows without a cell to impute
    start = 0
    for length, distances in chunks:
        if report is not None:
            report(complete + start, total)
        piece = cut if callable(weights) else max(1, length)
        for first in range(0, length, piece):
            last = min(length, first + piece)
            these = imputed[start + first : start + last]
            given = None if distances is None else distances[first:last]
            query = work[these]  # a copy of the rows, imputed in place, then put back
            if callable(weights):
                _weigh(rows, query, k, weights, given)
            else:
                rows.impute_given(query, k, weights, given)
            work[these] = query
        start += length


def _weigh(rows, query, k, weights, distances):
    """Callable weights over the engine's selection, one call per imputed column."""
    counts = rows.counts()
    at, columns = np.nonzero(np.isnan(query) & (counts > 0))  # the engine's cell order
    index, dist, values = rows.select_given(query, k, distances)  # cells without donors: the mean
    for col in np.unique(columns):
        these = np.flatnonzero(columns == col)
        these = these[index[these, 0] >= 0]
        if not these.size:
            continue
        width = min(k, int(counts[col]))
        query[at[these], col] = _callable_average(weights, values[these, :width], dist[these, :width])


def _callable_average(weights, values, dist):
    """scikit-learn's weighting by a callable, step for step: its return value is used as
    ``numpy.ma.average`` uses ``weights`` (None: uniform over the donors with a distance; NaN
    weights count as zero), with the same errors for anything else."""
    weight_matrix = weights(dist)
    if weight_matrix is not None:
        weight_matrix[np.isnan(weight_matrix)] = 0.0
    else:
        weight_matrix = np.ones_like(dist)
        weight_matrix[np.isnan(dist)] = 0.0
    donors = np.ma.array(values, mask=False)
    return np.ma.average(donors, axis=1, weights=weight_matrix).data


def rows_of(donors):
    """(the fitted table row by row, read-only; the engine's object holding it, which chooses and
    averages donors over given distances): what the callable paths read, one copy of the rows."""
    rows = _query.Rows(donors.fitted())
    return rows.table(), rows


def fitted_rows(estimator):
    """(row-major fitted table, the engine's Rows object) of `estimator`, built once per fit.

    The Donors object keeps the fitted rows only in the engine's column-blocked layout; a
    callable metric or weights needs them row by row. They are built at fit when a callable
    is configured, else on first use (a set_params after fit), and kept until the next fit."""
    rows = estimator.__dict__.get("_rows")
    if rows is None:
        with estimator._state_lock().building:
            rows = estimator.__dict__.get("_rows")
            if rows is None:
                rows = estimator.__dict__["_rows"] = rows_of(estimator._donors)
    return rows


def _fitted_marked(estimator, fitted):
    """The fitted table with `missing_values` in its missing cells, as a callable metric sees
    it; built once per fit and value of `missing_values`."""
    missing_values = estimator.missing_values
    marked = estimator.__dict__.get("_marked")
    if marked is None or marked[0] != missing_values:
        with estimator._state_lock().building:
            marked = estimator.__dict__.get("_marked")
            if marked is None or marked[0] != missing_values:
                table = np.where(np.isnan(fitted), missing_values, fitted)
                table.flags.writeable = False
                marked = estimator.__dict__["_marked"] = (missing_values, table)
    return marked[1]


def impute_for(estimator, work, X, cells, k, report):
    """`impute` with the fitted side and parameters of `estimator` (a callable metric or
    weights): distances by rows (the metric through scikit-learn's pairwise machinery, the
    built-in one formed by the engine), donors chosen by the engine, then weighted by the
    callable or as the engine weights."""
    fitted, rows = estimator._fitted_rows()
    impute(
        rows,
        work,
        X,
        cells,
        k,
        metric=estimator.metric,
        weights=estimator.weights,
        missing_values=estimator.missing_values,
        fitted_marked=lambda: fitted if is_scalar_nan(estimator.missing_values) else _fitted_marked(estimator, fitted),
        ensure_all_finite=estimator._ensure_all_finite(),
        report=report,
    )
