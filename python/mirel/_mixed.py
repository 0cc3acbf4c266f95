"""MixedImputer: k-nearest-neighbour imputation of mixed tables under Gower's distance.

Numeric, categorical (ordered or not), boolean and string columns side by side, as R's
``VIM::kNN`` does them, with scikit-learn's conventions. The table is encoded here (levels as
codes, NaN for a missing cell); distances, donors, medians, votes and the column summaries are
the engine's (``mirel._gower``).

Variables. ``bool`` and ``boolean`` columns, unordered categoricals and string columns are
nominal; ordered categoricals are ordinal (levels in the order of their categories); integer
(numpy or nullable ``Int64`` ...) and float (numpy or ``Float64``) columns are numeric. The
levels of a string column are its distinct values in the fitted table, sorted. ``pd.NA``,
``None`` and ``NaN`` all mark a missing cell.

Distance between two rows, over the distance variables observed in both, in column order,
numerator and denominator each summed from +0.0: a numeric variable adds
``|a - b| * (w / range)`` (range of the fitted column; 0 when that is 0; where ``w / range``
overflows, ``w * (|a - b| / range)``), a nominal one ``w`` when the levels differ, an ordinal
one ``|rank a - rank b| * (w / (levels - 1))``; the distance
is the numerator over the sum of the ``w``. A pair sharing no variable (or only variables of
weight 0) has no distance.

Donors and values. A missing cell's donors are the ``n_neighbors`` nearest fitted rows holding a
value in its column (equal distances by the lower row index). Numeric: the median (an even
count gives the mean of the two middle values, the lower of them for integer columns), or
``numeric="mean"`` / ``"distance"`` (weights 1/d), rounded to the nearest integer (ties to even)
for integer columns. Nominal: the most frequent level, ties to the level of the nearest tied
donor; ``weighted_votes=True`` sums 1/d instead (only the donors at distance 0 when there are
any). Ordinal: the lower median level. A cell with no donor at a distance gets the fitted
column's summary: the median (as above), the lower median level, or the most frequent level
(ties to the first level). A column with no value in the fitted table stays missing.

Caps. A row with more than ``row_max_missing`` (a fraction) of its cells missing is filled
from the column summaries. A fitted column with more than ``col_max_missing`` of its cells
missing is refused at ``fit`` (``on_col_max="raise"``) or always filled from its summary
(``"summary"``); either way it still enters the distance.

Transform. The columns must be those of ``fit``, each of the same kind. A category or string
value that ``fit`` did not see raises ``ValueError`` (the imputer cannot place it on the fitted
levels). The result has the input's columns, index and dtypes; categorical columns come back
with the categories of ``fit``. Results are bit-identical for every ``n_jobs``.
"""

import numbers

import numpy as np
from joblib import effective_n_jobs
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import _check_feature_names_in, check_is_fitted

try:
    import pandas as pd
except ImportError:  # mirel.sklearn itself does not need pandas; MixedImputer does
    pd = None

from mirel import _gower
from mirel._progress import reporter

__all__ = ["MixedImputer"]

_NUMERIC, _NOMINAL, _ORDINAL = 0, 1, 2
_KIND_NAMES = {_NUMERIC: "numeric", _NOMINAL: "nominal", _ORDINAL: "ordinal"}
_EXACT_INTEGERS = 2**53


def _column_kind(name, dtype):
    """(kind, integral) of a column, or TypeError naming it."""
    if pd.api.types.is_bool_dtype(dtype):
        return _NOMINAL, False
    if isinstance(dtype, pd.CategoricalDtype):
        return (_ORDINAL if dtype.ordered else _NOMINAL), False
    if isinstance(dtype, pd.StringDtype):
        return _NOMINAL, False
    if pd.api.types.is_integer_dtype(dtype):
        return _NUMERIC, True
    if pd.api.types.is_float_dtype(dtype):
        return _NUMERIC, False
    raise TypeError(
        f"column {name!r} has dtype {dtype}, which MixedImputer does not take: convert it to numbers, "
        "to a category (.astype('category')), to booleans or to strings (.astype('string'))"
    )


def _missing(series):
    return series.isna().to_numpy()


class _Column:
    """What fit learnt of one column: its kind, its levels, its dtype."""

    def __init__(self, name, series):
        self.name = name
        self.dtype = series.dtype
        self.kind, self.integral = _column_kind(name, series.dtype)
        if isinstance(series.dtype, pd.CategoricalDtype):
            self.levels = series.dtype.categories
        elif pd.api.types.is_bool_dtype(series.dtype):
            self.levels = pd.Index([False, True], dtype=object)
        elif isinstance(series.dtype, pd.StringDtype):
            self.levels = pd.Index(sorted(series.dropna().unique().tolist()), dtype=object)
        else:
            self.levels = None

    def encode(self, series):
        """The column as float64 cells: numbers, or level codes; NaN where missing."""
        kind, _ = _column_kind(self.name, series.dtype)
        if kind != self.kind:
            raise ValueError(
                f"column {self.name!r} was {_KIND_NAMES[self.kind]} in fit and is {_KIND_NAMES[kind]} here "
                f"(dtype {series.dtype})"
            )
        missing = _missing(series)
        if self.kind == _NUMERIC:
            values = series.to_numpy(dtype=np.float64, na_value=np.nan)
            if np.isinf(values).any():
                raise ValueError(f"column {self.name!r} holds an infinite value")
            held = values[~missing]
            with np.errstate(over="ignore"):
                span = np.float64(held.max()) - np.float64(held.min()) if held.size else 0.0
            if not np.isfinite(span):
                raise ValueError(f"column {self.name!r} spans more than float64 holds (its range overflows)")
            if self.integral and (np.abs(held) > _EXACT_INTEGERS).any():
                raise ValueError(f"column {self.name!r} holds integers beyond 2**53, which float64 cannot hold exactly")
            return values
        if pd.api.types.is_bool_dtype(series.dtype):
            codes = series.to_numpy(dtype=np.float64, na_value=np.nan)
        else:
            if isinstance(series.dtype, pd.CategoricalDtype) and series.dtype.categories.equals(self.levels):
                codes = series.cat.codes.to_numpy().astype(np.float64)
            else:
                codes = self.levels.get_indexer(series.to_numpy(dtype=object)).astype(np.float64)
            unseen = (codes < 0) & ~missing
            if unseen.any():
                value = series[unseen].iloc[0]
                raise ValueError(
                    f"column {self.name!r} holds {value!r}, a category not seen in fit: "
                    "refit on a table that holds it, or mark such cells missing"
                )
            codes[missing] = np.nan
        return codes

    def decode(self, cells, series):
        """`series` with its cells replaced by the imputed `cells`, in its own dtype."""
        held = ~np.isnan(cells)
        dtype = series.dtype
        if self.kind == _NUMERIC:
            if isinstance(dtype, np.dtype):
                return pd.Series(cells.astype(dtype) if held.all() or dtype.kind == "f" else cells, index=series.index)
            values = pd.array(np.where(held, cells, 0).astype(dtype.numpy_dtype), dtype=dtype)
            values[~held] = pd.NA
            return pd.Series(values, index=series.index)
        codes = np.where(held, cells, -1).astype(np.int64)
        if isinstance(dtype, pd.CategoricalDtype):
            return pd.Series(pd.Categorical.from_codes(codes, dtype=self.dtype), index=series.index)
        if dtype == np.bool_:
            return pd.Series(codes.astype(bool), index=series.index)
        if pd.api.types.is_bool_dtype(dtype):
            values = pd.array(codes == 1, dtype="boolean")
            values[~held] = pd.NA
            return pd.Series(values, index=series.index)
        objects = np.asarray(self.levels, dtype=object).take(np.where(held, codes, 0))
        objects[~held] = None
        return pd.Series(pd.array(objects, dtype=dtype), index=series.index)


class MixedImputer(TransformerMixin, BaseEstimator):
    """Impute the missing cells of a mixed table from its nearest rows under Gower's distance.

    Parameters
    ----------
    n_neighbors : int, default=5
        Donors per missing cell.
    weights : sequence of float, default=None
        One weight per column (finite, at least 0); ``None`` weighs every column 1.
    dist_var : sequence, default=None
        The columns (names for a DataFrame, positions for an array) that enter the distance;
        ``None`` takes them all. Every column is imputed either way.
    numeric : {"median", "mean", "distance"}, default="median"
        How a numeric cell is formed from its donors' values.
    weighted_votes : bool, default=False
        Weigh the votes for a nominal cell by 1/d instead of counting them.
    row_max_missing : float in [0, 1], default=1.0
        Rows with more than this fraction of cells missing get the column summaries.
    col_max_missing : float in [0, 1], default=1.0
        Fitted columns with more than this fraction of cells missing are refused or summarised.
    on_col_max : {"raise", "summary"}, default="raise"
        What ``fit`` does with such a column.
    n_jobs : int, default=None
        Native threads for ``transform`` (``None``: 1, ``-1``: all cores); bit-identical results.
    progress : bool or callable, default=False
        ``True`` shows a ``tqdm`` bar; a callable is called as ``progress(done_rows, total_rows)``
        about every 0.1 s and at the end of ``transform``, on the calling thread.
    """

    _parameter_constraints = {
        "n_neighbors": [Interval(numbers.Integral, 1, None, closed="left")],
        "weights": ["array-like", None],
        "dist_var": ["array-like", None],
        "numeric": [StrOptions({"median", "mean", "distance"})],
        "weighted_votes": ["boolean"],
        "row_max_missing": [Interval(numbers.Real, 0, 1, closed="both")],
        "col_max_missing": [Interval(numbers.Real, 0, 1, closed="both")],
        "on_col_max": [StrOptions({"raise", "summary"})],
        "n_jobs": [numbers.Integral, None],
        "progress": ["boolean", callable],
    }

    def __init__(
        self,
        n_neighbors=5,
        *,
        weights=None,
        dist_var=None,
        numeric="median",
        weighted_votes=False,
        row_max_missing=1.0,
        col_max_missing=1.0,
        on_col_max="raise",
        n_jobs=None,
        progress=False,
    ):
        self.n_neighbors = n_neighbors
        self.weights = weights
        self.dist_var = dist_var
        self.numeric = numeric
        self.weighted_votes = weighted_votes
        self.row_max_missing = row_max_missing
        self.col_max_missing = col_max_missing
        self.on_col_max = on_col_max
        self.n_jobs = n_jobs
        self.progress = progress

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        return tags

    # -- input ----------------------------------------------------------------------------

    @staticmethod
    def _frame(X):
        """(DataFrame, whether X was one). Arrays must be 2-D and numeric."""
        if pd is None:
            raise ImportError('mirel.sklearn.MixedImputer needs pandas: pip install "mirel[pandas]"')
        if isinstance(X, pd.DataFrame):
            return X, True
        array = np.asarray(X)
        if array.ndim != 2:
            raise ValueError(f"Expected a 2-D table, got an array of shape {array.shape}")
        if array.dtype.kind not in "biuf":
            raise TypeError(
                f"an array of dtype {array.dtype} is not a numeric table: pass a pandas DataFrame for mixed columns"
            )
        return pd.DataFrame(array), False

    def _encode(self, frame, columns=None):
        columns = self._columns if columns is None else columns
        cells = np.empty((frame.shape[0], len(columns)), dtype=np.float64)
        for j, column in enumerate(columns):
            cells[:, j] = column.encode(frame.iloc[:, j])
        return cells

    def _spec(self, names, columns):
        p = len(names)
        if self.weights is None:
            weights = np.ones(p)
        else:
            weights = np.asarray(self.weights, dtype=np.float64).ravel()
            if weights.size != p:
                raise ValueError(f"weights has {weights.size} values, the table has {p} columns")
            if not (np.isfinite(weights).all() and (weights >= 0).all()):
                raise ValueError("weights must be finite and at least 0")
        in_distance = np.ones(p)
        if self.dist_var is not None:
            chosen = list(self.dist_var)
            position = {name: j for j, name in enumerate(names)}
            in_distance[:] = 0
            for name in chosen:
                if name not in position:
                    raise ValueError(f"dist_var names {name!r}, which is not a column of the table")
                in_distance[position[name]] = 1
        spec = np.zeros((5, p))
        for j, column in enumerate(columns):
            spec[0, j] = column.kind
            spec[1, j] = column.integral
            spec[4, j] = 0 if column.levels is None else len(column.levels)
        spec[2] = in_distance
        spec[3] = weights
        return spec

    # -- fit / transform ------------------------------------------------------------------

    def fit(self, X, y=None):
        """Learn the columns, their levels and ranges, and the fitted rows."""
        self._validate_params()
        frame, is_frame = self._frame(X)
        names = list(frame.columns)
        columns = [_Column(name, frame.iloc[:, j]) for j, name in enumerate(names)]
        cells = self._encode(frame, columns)
        spec = self._spec(names if is_frame else list(range(len(names))), columns)
        rows = cells.shape[0]
        fraction = np.isnan(cells).mean(axis=0) if rows else np.zeros(len(names))
        over = fraction > self.col_max_missing
        if over.any() and self.on_col_max == "raise":
            named = ", ".join(repr(names[j]) for j in np.flatnonzero(over))
            raise ValueError(
                f"columns {named} have more than col_max_missing={self.col_max_missing} of their cells missing: "
                "drop them, raise col_max_missing or set on_col_max='summary'"
            )
        config = (int(self.n_neighbors), self.numeric, bool(self.weighted_votes))
        donors = _gower.build(cells, spec, *config)
        # Only now the new state: a failed fit leaves the estimator as it was.
        self._columns = columns
        self._config = config
        self._cells = cells
        self._spec_cells = spec
        self._donors = donors
        self._summary_columns = over
        self._is_frame = is_frame
        self.n_features_in_ = len(names)
        if is_frame and all(isinstance(n, str) for n in names):
            self.feature_names_in_ = np.asarray(names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    def transform(self, X):
        """X with its missing cells imputed: a DataFrame for a DataFrame, else a float64 array."""
        check_is_fitted(self, "_donors")
        frame, is_frame = self._frame(X)
        if frame.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {frame.shape[1]} features, but MixedImputer is expecting {self.n_features_in_}")
        if is_frame and hasattr(self, "feature_names_in_") and list(frame.columns) != list(self.feature_names_in_):
            raise ValueError("The columns of X are not those seen in fit (same names in the same order)")
        cells = self._encode(frame)
        result = self._impute(cells)
        if not is_frame:
            return result
        out = {}
        for j, column in enumerate(self._columns):
            series = frame.iloc[:, j]
            if np.isnan(cells[:, j]).any():
                out[frame.columns[j]] = column.decode(result[:, j], series)
            else:
                out[frame.columns[j]] = series
        return pd.DataFrame(out, index=frame.index, columns=frame.columns)

    def fit_transform(self, X, y=None, **fit_params):
        return self.fit(X).transform(X)

    def _impute(self, cells):
        """The encoded cells, imputed."""
        result = cells.copy()
        missing = np.isnan(cells)
        p = cells.shape[1]
        if p == 0 or not missing.any():
            return result
        donors = self._donors  # one fitted state for every chunk, whatever another thread fits
        summaries = _gower.summaries(donors)
        share = missing.sum(axis=1) / p
        capped = missing.any(axis=1) & (share > self.row_max_missing)
        # Rows over the cap: the column summaries.
        rows = np.flatnonzero(capped)
        result[rows] = np.where(missing[rows], summaries, cells[rows])
        todo = np.flatnonzero(missing.any(axis=1) & ~capped)
        threads = max(1, int(effective_n_jobs(self.n_jobs)))
        report, close = reporter(self.progress, todo.size, "MixedImputer.transform")
        try:
            # One engine call: it polls for Ctrl-C and reports progress while its threads run.
            if todo.size:
                result[todo] = _gower.impute(donors, cells[todo], threads, progress=report)
        finally:
            if close is not None:
                close()
        # Columns over the cap: their summary everywhere they were missing.
        for j in np.flatnonzero(self._summary_columns):
            result[missing[:, j], j] = summaries[j]
        return result

    def get_feature_names_out(self, input_features=None):
        check_is_fitted(self, "_donors")
        return _check_feature_names_in(self, input_features)

    # -- pickling: the engine's side is rebuilt from the fitted cells ------------------------

    def __getstate__(self):
        state = dict(super().__getstate__())
        state.pop("_donors", None)
        return state

    def __setstate__(self, state):
        donors_needed = "_cells" in state
        super().__setstate__(state)
        if donors_needed:
            self._donors = _gower.build(self._cells, self._spec_cells, *self._config)
