"""Imputing Dask arrays and data frames larger than one machine, block by block.

Both of mirel's semantics, lazily, on any Dask scheduler (threads, processes, or a
``distributed`` cluster); the results are bit-identical to one process imputing the whole
table, because every row is imputed independently of how the rows are split:

* :func:`transform` -- the scikit-learn face: ``transform(imputer, X)`` imputes the rows of
  ``X`` from the rows a fitted :class:`mirel.sklearn.KNNImputer` was fitted on. A block of
  ``X`` is a set of query rows; it is imputed where it lies.
* :func:`paired_transform` -- mirel.KnnImputer: ``paired_transform(fitted, X, k, metric,
  weights)`` gives what ``mirel.KnnImputer(k, metric, weights).fit(fitted).transform(X)``
  gives, for an ``X`` of the fitted shape. Row r of ``X`` is imputed from the fitted rows
  nearest to *fitted* row r, so a block of rows [a, b) needs the whole fitted table but only
  its own rows of ``X``: each task runs the engine's row pass for rows [a, b) alone
  (``mirel._paired``), with every fitted row as a candidate. A task costs, beyond its block,
  one copy of the fitted table into the engine's record and one column-blocked panel of it
  (2 x R x C x 8 bytes, freed at the end of the task) and time proportional to (rows of the
  block with a missing cell) x R x C. Going through the public class instead would need, per
  task, a whole R x C input (the block placed among rows without NaN) and an R x C result:
  two more R x C buffers and an R x C scan per block.

The fitted state (the estimator, or the fitted table) is one key of the task graph, not a
constant copied into every task: the scheduler sends it to each worker once and every block
on that worker reads it from there. With a ``distributed.Client`` you may also
``client.scatter(..., broadcast=True)`` yourself; the graph stays the same.

Fitting stays in one process: every fitted row is a donor for every query row, so the fitted
table must fit in one worker's memory (call ``.compute()`` on a Dask collection before
``fit``). The rows to impute need not: only one block at a time is in a task.

Progress: these functions build lazy collections, so Dask's own progress reporting applies:
``with dask.diagnostics.ProgressBar(): result.compute()`` on the local schedulers, or
``distributed.progress(client.persist(result))`` (or the dashboard) on a cluster.

Dask is an optional dependency: ``pip install "mirel[dask]"``. ``import mirel`` and
``import mirel.sklearn`` never import it.
"""

try:
    import dask
    import dask.array as da
    import dask.dataframe as dd
except ImportError as exc:  # pragma: no cover - exercised in a subprocess by the tests
    raise ImportError('mirel.dask needs Dask: pip install "mirel[dask]"') from exc

import numpy as np

import mirel

__all__ = ["transform", "paired_transform"]

_FLOATS = (np.dtype(np.float64), np.dtype(np.float32), np.dtype(np.float16))


def _output_dtype(dtype):
    """The dtype scikit-learn's validation gives a block of this dtype (floats kept)."""
    dtype = np.dtype(dtype)
    return dtype if dtype in _FLOATS else np.dtype(np.float64)


def _as_2d_array(X, name="X", rows_known=True):
    """X checked: a 2-D Dask array whose chunk sizes are known (the rows' may be unknown when
    `rows_known` is false: rows are imputed independently of where a block starts)."""
    if not isinstance(X, da.Array):
        raise TypeError(f"{name} must be a dask.array.Array or a dask.dataframe.DataFrame, not {type(X).__name__}")
    if X.ndim != 2:
        raise ValueError(f"{name} must have 2 dimensions, not {X.ndim}")
    if any(np.isnan(c) for chunks in (X.chunks if rows_known else X.chunks[1:]) for c in chunks):
        raise ValueError(f"{name} has chunks of unknown size: call {name}.compute_chunk_sizes() first")
    return X


def _frame_dtype(X):
    """The dtype the eager transform gives a Dask frame's partitions: scikit-learn's validation
    of a stand-in partition of the same dtypes (nullable and mixed columns included); float64
    when it refuses them (then every partition raises the eager call's own error)."""
    from sklearn.utils.validation import FLOAT_DTYPES, check_array

    try:
        return check_array(X._meta_nonempty, dtype=FLOAT_DTYPES, ensure_all_finite=False).dtype
    except (AttributeError, TypeError, ValueError):
        return np.dtype(np.float64)


# --- the scikit-learn face ------------------------------------------------------------------


# Empty blocks and partitions are normal in Dask (after filtering, compute_chunk_sizes or
# repartitioning): they have no row to impute, and scikit-learn's validation refuses them, so
# they get an empty result of the output's width and dtype without a call.


def _transform_block(block, imputer, width, dtype):
    if block.shape[0] == 0:
        return np.empty((0, width), dtype=dtype)
    return np.asarray(imputer.transform(block))  # an array even under set_output(transform="pandas")


def _transform_partition(frame, imputer, columns, dtype):
    import pandas as pd

    if len(frame) == 0:
        return pd.DataFrame(np.empty((0, len(columns)), dtype=dtype), index=frame.index, columns=columns)
    out = imputer.transform(frame)  # the frame itself: its column names are checked
    return pd.DataFrame(np.asarray(out, dtype=dtype), index=frame.index, columns=columns)


def transform(imputer, X):
    """Imputes a Dask collection with a fitted :class:`mirel.sklearn.KNNImputer`.

    Parameters
    ----------
    imputer : mirel.sklearn.KNNImputer
        A fitted estimator. It is sent to each worker once (one key of the graph).
    X : dask.array.Array or dask.dataframe.DataFrame
        Rows to impute, ``imputer.n_features_in_`` columns. Each block of rows is imputed where
        it lies (an array's column chunks are joined first). Row chunks may be empty or of
        unknown size (after boolean filtering); a frame's partitions may be empty and its
        columns of any dtypes the eager ``transform`` takes (nullable ``Float64`` included).

    Returns
    -------
    The same kind of collection, lazy: what ``imputer.transform`` gives for the whole of
    ``X`` computed in one process, bit for bit (a data frame keeps its index and gets the
    columns ``imputer.get_feature_names_out()``).
    """
    from sklearn.utils.validation import check_is_fitted

    from mirel.sklearn import KNNImputer, MixedImputer

    if isinstance(imputer, MixedImputer):
        return _mixed_transform(imputer, X)
    if not isinstance(imputer, KNNImputer):
        raise TypeError(f"imputer must be a mirel.sklearn.KNNImputer, not {type(imputer).__name__}")
    check_is_fitted(imputer)
    names = imputer.get_feature_names_out()
    shared = dask.delayed(imputer, pure=True)
    if isinstance(X, dd.DataFrame):
        if len(X.columns) != imputer.n_features_in_:
            raise ValueError(
                f"X has {len(X.columns)} features, but KNNImputer is expecting "
                f"{imputer.n_features_in_} features as input."
            )
        dtype = _frame_dtype(X)
        import pandas as pd

        meta = pd.DataFrame({n: np.empty(0, dtype=dtype) for n in names}, columns=names)
        return X.map_partitions(_transform_partition, shared, list(names), dtype, meta=meta)
    X = _as_2d_array(X, rows_known=False)
    if X.shape[1] != imputer.n_features_in_:
        raise ValueError(
            f"X has {X.shape[1]} features, but KNNImputer is expecting {imputer.n_features_in_} features as input."
        )
    X = X.rechunk({1: -1})
    dtype = _output_dtype(X.dtype)
    return X.map_blocks(
        _transform_block,
        shared,
        len(names),
        dtype,
        chunks=(X.chunks[0], (len(names),)),
        dtype=dtype,
        meta=np.empty((0, 0), dtype=dtype),
    )


def _mixed_partition(frame, imputer):
    return imputer.transform(frame)


def _mixed_transform(imputer, X):
    """transform for a MixedImputer: each partition or block of rows through imputer.transform
    (rows are imputed independently, so the bits are those of the whole)."""
    from sklearn.utils.validation import check_is_fitted

    check_is_fitted(imputer, "_donors")
    shared = dask.delayed(imputer, pure=True)
    if isinstance(X, dd.DataFrame):
        if len(X.columns) != imputer.n_features_in_:
            raise ValueError(f"X has {len(X.columns)} features, but MixedImputer is expecting {imputer.n_features_in_}")
        meta = imputer.transform(X._meta)  # no rows: the dtypes of the result
        return X.map_partitions(_mixed_partition, shared, meta=meta)
    X = _as_2d_array(X)
    if X.shape[1] != imputer.n_features_in_:
        raise ValueError(f"X has {X.shape[1]} features, but MixedImputer is expecting {imputer.n_features_in_}")
    X = X.rechunk({1: -1})
    return X.map_blocks(
        _transform_block,
        shared,
        X.shape[1],
        np.dtype(np.float64),
        chunks=(X.chunks[0], (X.shape[1],)),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )


# --- mirel.KnnImputer's semantics -------------------------------------------------------


def _paired_block(block, fitted, k, metric, weights, block_info=None):
    from mirel import _paired

    first = block_info[0]["array-location"][0][0]
    return _paired.impute_rows(fitted, np.ascontiguousarray(block, dtype=np.float64), first, k, metric, weights)


def _paired_partition(frame, fitted, offsets, k, metric, weights, partition_info=None):
    import pandas as pd

    from mirel import _paired

    first = offsets[partition_info["number"]]
    values = np.ascontiguousarray(frame.to_numpy(dtype=np.float64))
    out = _paired.impute_rows(fitted, values, first, k, metric, weights)
    return pd.DataFrame(out, index=frame.index, columns=frame.columns)


def paired_transform(fitted, X, k=5, metric="nan_euclid", weights="uniform"):
    """``mirel.KnnImputer(k, metric, weights).fit(fitted).transform(X)``, block by block.

    Parameters
    ----------
    fitted : numpy.ndarray or pandas.DataFrame
        The fitted table, as ``mirel.KnnImputer.fit`` accepts it (2-D float64). It is sent to
        each worker once (one key of the graph).
    X : dask.array.Array or dask.dataframe.DataFrame
        The table to impute: float64, of the fitted shape (R, C). Row r is imputed from the
        fitted rows nearest to fitted row r; the values of X only say which cells are missing
        (the present ones are kept).
    k, metric, weights
        As for ``mirel.KnnImputer``; checked up front with its own messages.

    Returns
    -------
    The same kind of collection, lazy, with the values of the whole-table transform, bit for
    bit.
    """
    # 1. The configuration and the fitted table, checked by mirel.KnnImputer itself.
    checker = mirel.KnnImputer(k, metric, weights)
    checker.fit(fitted)
    from mirel import _paired

    if metric not in _paired.METRICS:
        raise TypeError(f"{metric} is a unknown metric")
    k = checker.k
    if hasattr(fitted, "to_numpy") and not isinstance(fitted, np.ndarray):
        fitted = fitted.to_numpy()
    fitted = np.ascontiguousarray(fitted, dtype=np.float64)
    shape = fitted.shape
    shared = dask.delayed(fitted, pure=True)
    # 2. X: float64, of the fitted shape.
    if isinstance(X, dd.DataFrame):
        if any(not (isinstance(t, np.dtype) and t == np.float64) for t in X.dtypes):
            raise TypeError("X must hold float64 values in every column")
        lengths = X.map_partitions(len).compute()
        rows = int(sum(lengths))
        if (rows, len(X.columns)) != shape:
            raise ValueError(f"X must have the fitted shape {shape}, not {(rows, len(X.columns))}")
        offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(int).tolist()
        return X.map_partitions(_paired_partition, shared, offsets, k, metric, weights, meta=X._meta)
    X = _as_2d_array(X)
    if X.dtype != np.float64:
        raise TypeError(f"X must hold float64 values, not {X.dtype}")
    if X.shape != shape:
        raise ValueError(f"X must have the fitted shape {shape}, not {X.shape}")
    X = X.rechunk({1: -1})
    return X.map_blocks(_paired_block, shared, k, metric, weights, dtype=np.float64, meta=np.empty((0, 0)))
