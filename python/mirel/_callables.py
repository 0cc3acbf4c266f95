"""The callable paths of mirel.sklearn.KNNImputer (private).

A callable metric gives the distances (through scikit-learn's pairwise machinery, chunk by
chunk); otherwise the engine forms nan_euclidean distances itself. Either way the engine
(``mirel._query.Rows``) chooses the donors of every cell and, for the built-in weights, averages
them; callable weights get the chosen donors back and are applied as scikit-learn applies them.
This module only validates and moves data.
"""

import numpy as np

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
