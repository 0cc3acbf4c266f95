"""scikit-learn's ``KNNImputer`` computed by mirel's engine.

``mirel.sklearn.KNNImputer`` takes the parameters of ``sklearn.impute.KNNImputer``, validates
them with scikit-learn's own code and messages, and gives its results: every missing cell of a
row given to ``transform`` is filled from the rows given to ``fit`` that hold a value in its
column, nearest first by the ``nan_euclidean`` distance, with the (uniform or 1/distance)
weighted *mean* of the first ``n_neighbors`` of them. Rows are not paired by index (unlike
``mirel.KnnImputer``): any number of rows can be transformed.

Differences from scikit-learn, all on the side of exactness: distances are computed
coordinate by coordinate (no dot-product expansion, so no cancellation error and no
dependence on BLAS, threads or chunk sizes), and equal distances are broken by the lower
fitted row index.

Importing this module needs scikit-learn 1.6 or later; without it the import raises
``ImportError('mirel.sklearn needs scikit-learn 1.6 or later: pip install "mirel[sklearn]"')``.
"""

from typing import Any, Callable, Literal, Sequence

import numpy as np
import numpy.typing as npt
import pandas as pd
from sklearn.base import BaseEstimator, TransformerMixin  # type: ignore[import-untyped]
from sklearn.impute._base import _BaseImputer  # type: ignore[import-untyped]
from typing_extensions import Self, TypeAlias

__all__ = ["KNNImputer", "MixedImputer"]

_Weights: TypeAlias = Literal["uniform", "distance"] | Callable[[npt.NDArray[np.float64]], npt.ArrayLike]
_Metric: TypeAlias = Literal["nan_euclidean"] | Callable[..., float]
_Output: TypeAlias = npt.NDArray[np.floating[Any]] | pd.DataFrame

class KNNImputer(_BaseImputer):  # type: ignore[misc]
    """Imputation of missing values from the ``n_neighbors`` nearest fitted rows.

    Parameters
    ----------
    missing_values : int, float, str, np.nan or None, default np.nan
        The placeholder for missing cells; every occurrence is imputed.
    n_neighbors : int, default 5
        How many donors fill each missing cell (at least 1). Fewer are used where fewer
        fitted rows hold a value in the column.
    weights : {"uniform", "distance"} or callable, default "uniform"
        ``"uniform"``: the plain mean of the donors; ``"distance"``: weights 1/distance
        (donors at distance zero, if any, share all the weight); a callable takes an array
        of distances and returns weights of the same shape.
    metric : {"nan_euclidean"} or callable, default "nan_euclidean"
        A callable ``func(x, y, *, missing_values=np.nan)`` gives the distance of two rows;
        it is called for every pair (slow, as in scikit-learn).
    copy : bool, default True
        If False, imputation is done in place where possible.
    add_indicator : bool, default False
        Append a ``MissingIndicator``'s columns to the output of ``transform``.
    keep_empty_features : bool, default False
        Keep columns that are entirely missing at ``fit`` (filled with 0) instead of
        dropping them from the output.
    n_jobs : int or None, default None
        Native threads for ``transform`` (scikit-learn's meaning: ``None`` is 1 unless a
        ``joblib.parallel_config`` context says otherwise, -1 is all cores). With the built-in
        metric and weights the pass runs with the interpreter lock released; results are
        bit-identical for every ``n_jobs``. Callables run on one thread (the lock is released
        only while the engine chooses and averages donors).
    progress : bool or callable, default False
        ``True`` shows a ``tqdm`` bar while ``transform`` runs; a callable is called as
        ``progress(done_rows, total_rows)`` about every 0.1 s. Results do not change.
    algorithm : {"brute", "ivf"}, default "brute"
        "brute" measures every fitted row (exact). "ivf" searches a candidate index built at
        ``fit`` (k-means lists, each query row measuring its nearest lists, candidates ranked
        exactly, a full scan for a cell its lists cannot serve), probing as many lists as a
        measurement on a sample of fitted rows needs to select ``recall`` of the exact donors;
        where that would not save work, ``fit`` warns and ``transform`` runs "brute".
    recall : float in [0, 1], default 0.99
        The donor recall the index must reach on the sample.
    n_lists : int or None, default None
        Lists of the index (``None``: about ``sqrt(n_samples) / 2``).
    random_state : int, RandomState or None, default None
        Seeds the index's k-means and the recall sample.

    Attributes
    ----------
    indicator_ : sklearn.impute.MissingIndicator or None
    n_features_in_ : int
    feature_names_in_ : ndarray of str, only when ``fit`` saw string column names
    recall_, recall_sample_cells_, n_probe_, index_used_ : with ``algorithm="ivf"``: the
        measured recall, the cells it was measured on, the lists probed, whether the index is used

    Raises
    ------
    ValueError, TypeError
        Invalid parameters (raised by ``fit``) and invalid inputs, with scikit-learn's own
        messages, e.g. ``"The 'n_neighbors' parameter of KNNImputer must be an int in the
        range [1, inf). Got 0 instead."``; infinite values in ``X`` are refused as by
        scikit-learn.
    sklearn.exceptions.NotFittedError
        ``transform`` before ``fit``.
    """

    missing_values: float | int | str | None
    n_neighbors: int
    weights: _Weights
    metric: _Metric
    copy: bool
    add_indicator: bool
    keep_empty_features: bool
    n_jobs: int | None
    progress: bool | Callable[[int, int], object]
    algorithm: Literal["brute", "ivf"]
    recall: float
    n_lists: int | None
    random_state: Any
    recall_: float
    recall_sample_cells_: int
    n_probe_: int
    index_used_: bool
    indicator_: Any
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]

    def __init__(
        self,
        *,
        missing_values: float | int | str | None = ...,
        n_neighbors: int = 5,
        weights: _Weights = "uniform",
        metric: _Metric = "nan_euclidean",
        copy: bool = True,
        add_indicator: bool = False,
        keep_empty_features: bool = False,
        n_jobs: int | None = None,
        progress: bool | Callable[[int, int], object] = False,
        algorithm: Literal["brute", "ivf"] = "brute",
        recall: float = 0.99,
        n_lists: int | None = None,
        random_state: Any = None,
    ) -> None: ...
    def fit(self, X: npt.ArrayLike, y: object = None) -> Self:
        """Keep the rows of ``X`` (array-like of shape (n_samples, n_features)) as donors.

        ``y`` is ignored. Returns the imputer itself.
        """

    def transform(self, X: npt.ArrayLike) -> _Output:
        """Impute every missing cell of ``X`` from the fitted rows.

        Returns an array of shape (n_samples, n_output_features): the columns not entirely
        missing at ``fit`` (all of them with ``keep_empty_features=True``), then the
        indicator's; a DataFrame after ``set_output(transform="pandas")``.
        """

    def fit_transform(self, X: npt.ArrayLike, y: object = None, **fit_params: Any) -> _Output:
        """``fit(X).transform(X)``, with ``X`` validated once. ``y`` is ignored."""

    def get_feature_names_out(self, input_features: npt.ArrayLike | None = None) -> npt.NDArray[np.object_]:
        """Names of the output columns, as scikit-learn gives them."""

class MixedImputer(TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Imputation of mixed tables (numbers, categories, ordered categories, booleans, strings)
    from the ``n_neighbors`` nearest fitted rows under Gower's distance; see mirel._mixed."""

    n_neighbors: int
    weights: Sequence[float] | None
    dist_var: Sequence[Any] | None
    numeric: Literal["median", "mean", "distance"]
    weighted_votes: bool
    row_max_missing: float
    col_max_missing: float
    on_col_max: Literal["raise", "summary"]
    n_jobs: int | None
    progress: bool | Callable[[int, int], object]
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]
    def __init__(
        self,
        n_neighbors: int = 5,
        *,
        weights: Sequence[float] | None = None,
        dist_var: Sequence[Any] | None = None,
        numeric: Literal["median", "mean", "distance"] = "median",
        weighted_votes: bool = False,
        row_max_missing: float = 1.0,
        col_max_missing: float = 1.0,
        on_col_max: Literal["raise", "summary"] = "raise",
        n_jobs: int | None = None,
        progress: bool | Callable[[int, int], object] = False,
    ) -> None: ...
    def fit(self, X: Any, y: object = None) -> Self: ...
    def transform(self, X: Any) -> Any: ...
    def fit_transform(self, X: Any, y: object = None, **fit_params: Any) -> Any: ...
    def __sklearn_tags__(self) -> Any: ...
    def get_feature_names_out(self, input_features: npt.ArrayLike | None = None) -> npt.NDArray[np.object_]: ...
