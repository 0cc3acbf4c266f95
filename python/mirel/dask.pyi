"""Imputing Dask arrays and data frames larger than one machine, block by block.

``transform(imputer, X)`` imputes the rows of a Dask collection with a fitted
``mirel.sklearn.KNNImputer`` (a block of rows is a set of query rows, imputed where it lies);
``paired_transform(fitted, X, k, metric, weights)`` gives what
``mirel.KnnImputer(k, metric, weights).fit(fitted).transform(X)`` gives, for an ``X`` of the
fitted shape (row r imputed from the fitted rows nearest to fitted row r). Both are lazy and
bit-identical to one process imputing the whole table; the fitted state is one key of the task
graph, sent to each worker once. Needs ``pip install "mirel[dask]"``.
"""

from typing import TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd

from mirel.sklearn import KNNImputer, MixedImputer

__all__ = ["transform", "paired_transform"]

_Collection = TypeVar("_Collection")

def transform(imputer: KNNImputer | MixedImputer, X: _Collection) -> _Collection:
    """Imputes a ``dask.array.Array`` or ``dask.dataframe.DataFrame`` with a fitted
    ``mirel.sklearn.KNNImputer`` or ``MixedImputer``: the same kind of collection, lazy, with what
    ``imputer.transform`` gives for the whole of ``X`` in one process, bit for bit."""

def paired_transform(
    fitted: npt.NDArray[np.float64] | pd.DataFrame,
    X: _Collection,
    k: int = 5,
    metric: str = "nan_euclid",
    weights: str = "uniform",
) -> _Collection:
    """``mirel.KnnImputer(k, metric, weights).fit(fitted).transform(X)``, block by block.
    ``X`` (a ``dask.array.Array`` or ``dask.dataframe.DataFrame``) must have the fitted shape;
    ``k``, ``metric`` and ``weights`` are checked up front with ``mirel.KnnImputer``'s own
    messages."""
