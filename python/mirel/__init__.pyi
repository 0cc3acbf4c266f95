"""Exact, bit-reproducible k-nearest-neighbour imputation of the missing cells of numeric tables.

``KnnImputer(k, metric, weights).fit(X).transform(X)`` returns a new float64 array in which
every NaN cell of ``X`` is filled from the k nearest other rows of ``X``.

Two things differ from scikit-learn's ``KNNImputer`` and are worth knowing before use:

* ``transform`` pairs rows by index with the *fitted* table: row r of its input is imputed
  from the neighbours of fitted row r (see ``KnnImputer.transform``).
* The fill value is an unnormalised weighted sum: with ``weights="uniform"`` every donor
  counts 1/k even when fewer than k donors hold a value (see ``KnnImputer``).

Failures of a broken internal precondition are raised as ``PanicException``, a type that
derives directly from ``BaseException`` (``except Exception`` does not catch it) and is not
an attribute of this module: catch it with ``except BaseException`` and test
``type(exc).__name__ == "PanicException"`` if you must.
"""

from typing import Literal, SupportsIndex, final

import numpy as np
import numpy.typing as npt
from pandas import DataFrame
from typing_extensions import Self, TypeAlias

__all__ = ["KnnImputer"]

_Table: TypeAlias = npt.NDArray[np.float64] | DataFrame
_Metric: TypeAlias = Literal["nan_euclid", "expected_distance"]
_Weights: TypeAlias = Literal["uniform", "distance"]

@final
class KnnImputer:
    """Fills NaN cells of a numeric table from the k nearest rows of a fitted table.

    Parameters
    ----------
    k : int, default 5
        How many donor rows fill each missing cell, 0 to 4,294,967,295. Not checked against
        the number of rows: a k above it simply uses every row that holds a value. ``k = 0``
        uses exactly one donor per column, and with ``weights="uniform"`` its weight is
        1/0 = +inf, so the cell becomes +inf or -inf by the donor's sign, or NaN when the
        donor's value is 0.0. Can be reassigned at any time; the next ``transform`` uses it
        without a new ``fit``.
    metric : {"nan_euclid", "expected_distance"}, default "nan_euclid"
        How rows are compared, over the columns in which values are present.

        * ``"nan_euclid"``: squared Euclidean distance over the coordinates both rows hold,
          multiplied by (all coordinates / shared coordinates); no square root. Rows that
          share no coordinate are at +inf.
        * ``"expected_distance"``: Euclidean distance over the shared coordinates, plus
          ``max(v, 1 - v)`` for every coordinate where one row misses and the other holds v,
          plus 0.333 for every coordinate both rows miss.

        The name is checked by ``transform``, not here: any ``str`` is stored.
    weights : {"uniform", "distance"}, default "uniform"
        What each donor's value is multiplied by: ``"uniform"`` 1/k, ``"distance"``
        1/distance (a donor at distance 0 gives +inf, one at +inf gives 0).

    How a missing cell is filled
    ----------------------------
    For a row with missing cells, every other fitted row is ranked by its distance from it
    (smaller first; a NaN distance, from inf - inf, after +inf; equal distances in ascending
    row order). The row itself ranks behind every row at a finite distance. Each missing
    cell then receives the sum of ``value * weight`` over the first k ranked rows that hold a
    value in its column (donors are chosen per column). The sum is **not normalised**: with
    ``"uniform"`` weights and only j < k donors holding a value, the result is their sum / k,
    not their mean; with ``"distance"`` weights it is the sum of value / distance, not
    divided by the sum of the weights. A column in which no row holds a value is filled with
    0.0. Sums run in a fixed order from +0.0 without fused multiply-add, so results are
    identical to the bit on every platform.

    Raises
    ------
    TypeError
        Wrong arguments, with the interpreter's wording, e.g.
        ``"KnnImputer.__new__() takes from 0 to 3 positional arguments but 4 were given"``,
        ``"KnnImputer.__new__() got an unexpected keyword argument 'n'"``,
        ``"KnnImputer.__new__() got multiple values for argument 'k'"``.
        ``k`` not an integer: the message starts with ``"argument 'k': "`` (e.g. for 2.0 or
        None). ``metric`` or ``weights`` not a ``str``:
        ``"argument 'metric': 'int' object is not an instance of 'str'"``, or
        ``"argument 'weights': 'None' is not an instance of 'str'"`` for None.
    OverflowError
        ``k`` negative (the interpreter's message) or from 2**32 up:
        ``"out of range integral type conversion attempted"``.
    PanicException
        ``weights`` other than ``"uniform"`` or ``"distance"`` (case matters):
        ``"assertion failed: ALLOWED_WEIGHTS.contains(&weights)"``.

    Notes
    -----
    The type cannot be subclassed and its instances take no attributes other than ``k``.
    The metric and weights names cannot be read back. Every call holds the interpreter lock
    and runs on the calling thread.
    """

    def __new__(cls, k: SupportsIndex = 5, metric: _Metric = "nan_euclid", weights: _Weights = "uniform") -> Self: ...
    @property
    def k(self) -> int:
        """The neighbour count, read afresh by every ``transform``.

        Assigning converts the value as the constructor does: a ``TypeError`` whose message
        starts with ``"argument 'k': "`` for a non-integer, ``OverflowError`` for a negative
        value or one from 2**32 up (``"out of range integral type conversion attempted"``).
        Assigning from code that runs inside a ``transform`` of the same imputer (a
        DataFrame's ``to_numpy``) raises ``RuntimeError("Already borrowed")``. Deleting
        raises ``AttributeError("property has no deleter")``. A failed assignment leaves the
        old value.
        """

    @k.setter
    def k(self, value: SupportsIndex, /) -> None: ...
    def fit(self, data: _Table) -> Self:
        """Keep a private copy of ``data`` as the fitted table and return the imputer itself.

        Parameters
        ----------
        data : numpy.ndarray of float64 with 2 dimensions, or pandas.DataFrame
            Any shape, 0 rows or 0 columns included; NaN marks a missing cell, infinities are
            ordinary values. A DataFrame is converted with ``to_numpy()`` and must become a
            float64 table (numeric columns with at least one float64 column, or all float64).
            Nothing is checked or learnt: the copy is what later ``transform`` calls use.
            Later changes to ``data`` do not reach the imputer.

        Returns
        -------
        KnnImputer
            The very object ``fit`` was called on, so ``imp.fit(X).transform(X)`` works.

        Raises
        ------
        TypeError
            ``"KnnImputer.fit() missing 1 required positional argument: 'data'"`` and the
            other binding messages. ``data`` neither a 2-D float64 array nor a DataFrame:
            ``"Unsupported type: 'list'. Supported types are: numpy.ndarray, pandas.DataFrame"``
            (naming the type; an int, float32, 1-D or 3-D array is named ``'ndarray'``).
            A DataFrame whose values do not become a float64 table: the message names the
            array its ``to_numpy`` gave, ``"'ndarray' object of dtype object with 2 dimensions
            cannot be converted to a 2-dimensional float64 numpy.ndarray"``; when the frame's
            dtypes show the columns at fault, the exception carries a note (``__notes__``,
            printed under the message by Python 3.11 and later) such as ``"DataFrame columns
            cannot be converted to float64: 'name' (object), 'when' (datetime64[ns]). Convert
            them first (df.astype('float64'), or pandas.to_numeric for numbers stored as text)
            or drop them"``.
        ImportError
            ``data`` is not a 2-D float64 array and pandas is not installed (pandas' own
            error: without pandas only NumPy arrays are accepted).
        PanicException
            ``fit`` called from code that runs inside a ``transform`` of the same imputer:
            ``"Already borrowed: PyBorrowMutError"``.

        Errors raised by the DataFrame's own ``to_numpy`` pass through unchanged. After any
        failure the imputer keeps its previous fitted table (or stays unfitted).
        """

    def transform(self, data: _Table) -> npt.NDArray[np.float64]:
        """Return a new float64 array of the fitted shape with the missing cells of ``data`` filled.

        Row pairing
        -----------
        Rows are paired **by index with the fitted table**: row r of ``data`` is imputed from
        the fitted rows nearest to *fitted* row r, and the donors' values come from the
        fitted table. The values of ``data`` only say which cells are missing and supply the
        cells that are kept (bit for bit, -0.0 and infinities included). Normally ``data``
        is the fitted table itself: ``imp.fit(X).transform(X)``. With fitted rows
        [1, 10], [2, 20], [3, 30], [4, 40] and ``data`` rows [100, 10], [200, nan],
        [300, 30], [400, 40], ``k=2`` fills the NaN with 20.0, the mean of column 1 over the
        two fitted rows nearest to *fitted* row 1 ([1, 10] and [3, 30]); 100, 200, 300, 400
        play no part in the distances.

        ``data`` is read as consecutive rows of the fitted width, whatever its own shape, and
        the result always has the fitted shape: a 6 x 2 table against a fitted 4 x 3 one is
        read as 4 rows of 3. A table with a different number of cells is refused.

        Parameters
        ----------
        data : numpy.ndarray of float64 with 2 dimensions, or pandas.DataFrame
            As for ``fit``. Never modified.

        Returns
        -------
        numpy.ndarray
            A new, writeable, C-contiguous float64 array of the fitted shape, also when
            nothing was missing.

        Raises
        ------
        TypeError
            ``"Imputer is not fitted"`` before ``fit`` (whatever ``data`` is); the binding
            messages (``"KnnImputer.transform() missing 1 required positional argument:
            'data'"``, ...); the conversion errors listed under ``fit``; an unknown metric:
            the name followed by ``" is a unknown metric"``, e.g. ``"foo is a unknown
            metric"`` (checked after the conversion, also when nothing is missing).
        ImportError
            As for ``fit``.
        ValueError
            ``data`` has more cells than the fitted table:
            ``"ShapeError/IncompatibleShape: incompatible shapes"``; fewer:
            ``"ShapeError/OutOfBounds: out of bounds indexing"``.
        PanicException
            A missing cell that the fitted rows cannot address: in a row r at or past the
            fitted row count R (C fitted columns), ``"range end index {(R + 1) * C} out of
            range for slice of length {R * C}"`` or ``"range start index {r * C} out of range
            for slice of length {R * C}"``; in an input with more rows than the fitted table
            (same cell count), ``"index out of bounds: the len is {R} but the index is {i}"``;
            with 0 fitted columns, ``"attempt to divide by zero"``. These come before the
            ``ValueError`` of the shape check.
        RuntimeError
            ``"Already mutably borrowed"`` if the imputer is being written at that moment.

        The checks run in this order: arguments, fitted, conversion of ``data``, metric name,
        the imputation, the shape of the result. The imputer is never changed.
        """
