"""scikit-learn's KNNImputer on mirel's engine.

``mirel.sklearn.KNNImputer`` is a drop-in replacement for ``sklearn.impute.KNNImputer``: the
same parameters, attributes, validation, messages and results. Rows given to ``transform`` are
imputed from the rows given to ``fit``: for every missing cell, the donors are the fitted rows
that hold a value in its column, nearest first by scikit-learn's ``nan_euclidean`` distance,
and the cell gets the (uniform or 1/distance) weighted mean of the first ``n_neighbors`` of them.

Differences from scikit-learn, all on the side of exactness:

* distances are computed directly, coordinate by coordinate, never through the dot-product
  expansion scikit-learn uses, so they carry no cancellation error and do not depend on BLAS,
  threads or chunk sizes; float32 tables are computed in float64;
* equal distances are broken by the lower fitted row index (scikit-learn leaves the order of
  equal distances to ``numpy.argpartition``);
* an imputed cell never lies outside the values of its weighted donors: sums that overflow or
  underflow are formed again without overflow, and donors whose distances all overflow to +inf
  count as equally far (scikit-learn's distances become NaN there and it gives the column mean).

Where no two candidate distances of a cell are within rounding of each other, both give the
same values up to the last bits of the sums.

Threads. With the built-in metric and weights, ``transform`` releases the interpreter lock and
deals the rows to ``n_jobs`` native threads (scikit-learn's meaning: ``None`` is 1 unless a
``joblib.parallel_config`` context says otherwise, ``-1`` all cores); every row is computed
the same way whatever the split, so the results are bit-identical for every ``n_jobs``. The
fitted side is immutable and shared by the threads. A callable ``metric`` or ``weights`` keeps
the lock and one thread. One estimator may serve ``transform`` calls from many threads at once;
``fit`` on it waits until the running ones end (and they wait for a running ``fit``), so a
transform always sees one fitted state. ``fit`` called from inside the estimator's own
``fit`` or ``transform`` on the same thread (from a callable metric, say) raises
``RuntimeError`` instead of waiting for itself. Ctrl-C stops a running ``transform``.

Progress. ``progress=True`` shows a ``tqdm`` bar for ``transform`` (rows imputed); a callable
is called as ``progress(done_rows, total_rows)`` about every 0.1 s and at the end, on the
calling thread. Results do not depend on it; an exception it raises stops the pass and
propagates.

``mirel.KnnImputer`` is a different tool with a different contract (rows paired by index with
the fitted table, unnormalised sums); this module leaves it untouched.
"""

try:
    import sklearn  # noqa: F401
    from sklearn.base import TransformerMixin, _fit_context
    from sklearn.impute._base import _BaseImputer
    from sklearn.metrics import pairwise_distances_chunked
    from sklearn.metrics.pairwise import _NAN_METRICS
    from sklearn.utils._mask import _get_mask
    from sklearn.utils._missing import is_scalar_nan
    from sklearn.utils._param_validation import Hidden, Interval, StrOptions
    from sklearn.utils.validation import (
        FLOAT_DTYPES,
        _check_feature_names_in,
        check_is_fitted,
        validate_data,
    )
except ImportError as exc:  # scikit-learn missing, or older than 1.6
    raise ImportError('mirel.sklearn needs scikit-learn 1.6 or later: pip install "mirel[sklearn]"') from exc

import threading
from contextlib import contextmanager
from numbers import Integral

import numpy as np
from joblib import effective_n_jobs

from mirel import _query

__all__ = ["KNNImputer"]


class _StateLock:
    """Readers (transform) share the fitted state; a writer (fit) waits for them to end and
    they wait for it. A waiting writer holds back new readers, so fit is not starved. A
    thread that already reads may read again (a callable metric calling transform); it may not
    write, nor may a writer re-enter: those raise instead of waiting for themselves."""

    def __init__(self):
        self._cond = threading.Condition(threading.Lock())
        self.building = threading.Lock()  # builds the row-major copy once (readers may race to it)
        self._readers = {}  # thread ident -> depth
        self._writer = None
        self._writers_waiting = 0

    @contextmanager
    def reading(self, what="transform"):
        me = threading.get_ident()
        with self._cond:
            if self._writer == me:
                raise RuntimeError(f"KNNImputer.{what} was called from inside fit of the same estimator")
            while self._writer is not None or (self._writers_waiting and me not in self._readers):
                self._cond.wait()
            self._readers[me] = self._readers.get(me, 0) + 1
        try:
            yield
        finally:
            with self._cond:
                depth = self._readers.pop(me) - 1
                if depth:
                    self._readers[me] = depth
                self._cond.notify_all()

    @contextmanager
    def writing(self):
        me = threading.get_ident()
        with self._cond:
            if self._writer == me or me in self._readers:
                raise RuntimeError("KNNImputer.fit was called from inside fit or transform of the same estimator")
            self._writers_waiting += 1
            try:
                while self._writer is not None or self._readers:
                    self._cond.wait()
            finally:
                self._writers_waiting -= 1
            self._writer = me
        try:
            yield
        finally:
            with self._cond:
                self._writer = None
                self._cond.notify_all()


_LOCK_CREATION = threading.Lock()


def _progress_reporter(progress, total, call="transform"):
    """(callback for the engine, closer) for the `progress` parameter; (None, None) when off.
    `call` names the method in the bar's label ("fit_transform", "transform")."""
    if progress is False or progress is None:
        return None, None
    if progress is True:
        try:
            from tqdm import tqdm
        except ImportError as exc:
            raise ImportError("progress=True needs tqdm: pip install tqdm") from exc
        bar = tqdm(total=total, unit="row", desc=f"KNNImputer.{call}")

        def update(done, _total):
            bar.update(done - bar.n)

        return update, bar.close
    return progress, None


# The float dtypes that validate_data keeps as they are (FLOAT_DTYPES, native byte order).
_PLAIN_DTYPES = (np.dtype(np.float64), np.dtype(np.float32))


def _plain_table(X, allow_nan):
    """Whether validate_data (with fit's and transform's arguments) takes X as it is, without a
    warning or an error: a 2-D NumPy array (not a subclass) of float64 or float32 in native byte
    order, with a row and a column at least, no infinite value, and no NaN unless allowed."""
    if type(X) is not np.ndarray or X.ndim != 2 or X.dtype not in _PLAIN_DTYPES or X.size == 0:
        return False
    if allow_nan:
        return not np.isinf(X).any()
    return bool(np.isfinite(X).all())


_CHUNK_ENTRIES = 1 << 20  # distances per chunk of query rows on the callable-weights path (8 MiB)


def _nan_euclidean(query, fitted):
    """The engine's distance, bit for bit: sqrt(sum * (cols / present)) with the squared
    differences over the coordinates both rows hold added in column order from +0.0; NaN for
    pairs that share no coordinate."""
    total = np.zeros((query.shape[0], fitted.shape[0]))
    square = np.empty_like(total)
    lacking = np.zeros_like(total)  # coordinates that one of the two rows misses
    gap = np.empty(total.shape, dtype=bool)
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for c in range(query.shape[1]):
            np.subtract.outer(query[:, c], fitted[:, c], out=square)  # NaN where either misses
            lacking += np.isnan(square, out=gap)
            square *= square
            np.fmax(square, 0.0, out=square)  # NaN -> +0.0; squares are >= +0.0 already
            total += square
        present = np.float64(query.shape[1]) - lacking
        total *= np.float64(query.shape[1]) / present
        np.sqrt(total, out=total)
    total[present == 0] = np.nan  # no shared coordinate: no distance
    return total


def _first_donors(dist, donors, k):
    """For each row of `dist` (distances to the potential donors, whose fitted row indices are
    `donors`, ascending), the first k donors in the engine's rank order (nearest first, equal
    distances by row index, no distance last): (fitted row indices, their distances)."""
    rows = np.arange(dist.shape[0])[:, None]
    if k < donors.size:
        # The k-th distance, then those below it and, of those equal to it, the lowest indices.
        kth = np.take_along_axis(dist, np.argpartition(dist, k - 1, axis=1)[:, k - 1 : k], axis=1)
        no_kth = np.isnan(kth)  # fewer than k distances: every distance ranks before it
        missing = np.isnan(dist)
        below = (dist < kth) | (no_kth & ~missing)
        equal = (dist == kth) | (no_kth & missing)
        wanted = k - below.sum(axis=1, keepdims=True)
        taken = below | (equal & (np.cumsum(equal, axis=1) <= wanted))
        picked = np.nonzero(taken)[1].reshape(dist.shape[0], k)  # ascending index per row
        dist = dist[rows, picked]
    else:
        picked = np.broadcast_to(np.arange(donors.size), dist.shape)
    order = np.argsort(dist, axis=1, kind="stable")  # by distance, then by index
    return donors[picked[rows, order]], dist[rows, order]


def _weighted_mean(values, dist, by_distance):
    """The engine's weighted mean (`weighted_mean`) of each row of `values`, the donors without
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


def _rows_of(donors):
    """(the fitted table row by row, read-only; the engine's column means, summed in row order:
    what a row sharing no coordinate with any fitted row gets)."""
    table = donors.fitted()
    table.flags.writeable = False
    means = np.full((1, donors.shape[1]), np.nan)
    donors.impute(means, 1, "uniform")
    return table, means[0]


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


class KNNImputer(_BaseImputer):
    """Imputation for completing missing values using k-Nearest Neighbors.

    Each sample's missing values are imputed using the mean value from
    ``n_neighbors`` nearest neighbors found in the training set. Two samples are
    close if the features that neither is missing are close. Same parameters,
    attributes and behaviour as :class:`sklearn.impute.KNNImputer`, computed by
    mirel's engine (see the module's documentation for the tie rule).

    Parameters
    ----------
    missing_values : int, float, str, np.nan or None, default=np.nan
        The placeholder for the missing values. All occurrences of
        ``missing_values`` will be imputed.

    n_neighbors : int, default=5
        Number of neighboring samples to use for imputation.

    weights : {'uniform', 'distance'} or callable, default='uniform'
        'uniform': the plain mean of the neighbours; 'distance': weights
        1/distance (neighbours at distance zero, if any, share all the weight);
        a callable takes an array of distances (a row per cell, its donors
        nearest first) and returns weights of the same shape, used as
        scikit-learn uses them (``None`` means uniform; NaN weights count as
        zero). It is called once per imputed column and chunk of rows.

    metric : {'nan_euclidean'} or callable, default='nan_euclidean'
        A callable ``func(x, y, *, missing_values=np.nan)`` gives the distance of
        two rows; it is called for every pair (slow, as in scikit-learn).

    copy : bool, default=True
        If True, a copy of X will be created. If False, imputation will be done
        in-place whenever possible.

    n_jobs : int, default=None
        Number of threads that ``transform`` uses (built-in metric and weights).
        ``None`` means 1 unless in a :obj:`joblib.parallel_config` context;
        ``-1`` means using all processors. Results are bit-identical for every
        value.

    progress : bool or callable, default=False
        ``True`` shows a ``tqdm`` progress bar while ``transform`` runs; a
        callable is called as ``progress(done_rows, total_rows)`` about every
        0.1 s and at the end. Results do not depend on it.

    add_indicator : bool, default=False
        If True, a :class:`~sklearn.impute.MissingIndicator` transform will stack
        onto the output of the imputer's transform.

    keep_empty_features : bool, default=False
        If True, features that consist exclusively of missing values when
        ``fit`` is called are returned in results when ``transform`` is called,
        filled with 0.

    Attributes
    ----------
    indicator_ : :class:`~sklearn.impute.MissingIndicator`
        Indicator used to add binary indicators for missing values.
        ``None`` if add_indicator is False.

    n_features_in_ : int
        Number of features seen during :term:`fit`.

    feature_names_in_ : ndarray of shape (``n_features_in_``,)
        Names of features seen during :term:`fit`. Defined only when ``X``
        has feature names that are all strings.

    Examples
    --------
    >>> import numpy as np
    >>> from mirel.sklearn import KNNImputer
    >>> X = [[1, 2, np.nan], [3, 4, 3], [np.nan, 6, 5], [8, 8, 7]]
    >>> KNNImputer(n_neighbors=2).fit_transform(X)
    array([[1. , 2. , 4. ],
           [3. , 4. , 3. ],
           [5.5, 6. , 5. ],
           [8. , 8. , 7. ]])
    """

    _parameter_constraints: dict = {
        **_BaseImputer._parameter_constraints,
        "n_neighbors": [Interval(Integral, 1, None, closed="left")],
        "weights": [StrOptions({"uniform", "distance"}), callable, Hidden(None)],
        "metric": [StrOptions(set(_NAN_METRICS)), callable],
        "copy": ["boolean"],
        "n_jobs": [Integral, None],
        "progress": ["boolean", callable],
    }

    def __init__(
        self,
        *,
        missing_values=np.nan,
        n_neighbors=5,
        weights="uniform",
        metric="nan_euclidean",
        copy=True,
        add_indicator=False,
        keep_empty_features=False,
        n_jobs=None,
        progress=False,
    ):
        super().__init__(
            missing_values=missing_values,
            add_indicator=add_indicator,
            keep_empty_features=keep_empty_features,
        )
        self.n_neighbors = n_neighbors
        self.weights = weights
        self.metric = metric
        self.copy = copy
        self.n_jobs = n_jobs
        self.progress = progress

    def _state_lock(self):
        lock = self.__dict__.get("_lock")
        if lock is None:
            with _LOCK_CREATION:
                lock = self.__dict__.get("_lock")
                if lock is None:
                    lock = self.__dict__["_lock"] = _StateLock()
        return lock

    def __getstate__(self):
        # One fitted state, never a mix of two fits: read under the state lock. The lock belongs
        # to this object in this process (copies and pickles get their own), and the row-major
        # copy kept for callables is rebuilt from the Donors when needed.
        with self._state_lock().reading("__getstate__"):
            state = dict(super().__getstate__())
        state.pop("_lock", None)
        state.pop("_rows", None)
        state.pop("_marked", None)
        return state

    def _ensure_all_finite(self):
        return "allow-nan" if is_scalar_nan(self.missing_values) else True

    def _plain_params(self):
        """Whether the parameters are of the plain kinds that scikit-learn's parameter validation
        always accepts (the defaults are): then it need not run."""
        return (
            type(self.n_neighbors) is int
            and self.n_neighbors >= 1
            and type(self.weights) is str
            and self.weights in ("uniform", "distance")
            and type(self.metric) is str
            and self.metric == "nan_euclidean"
            and type(self.copy) is bool
            and type(self.add_indicator) is bool
            and type(self.keep_empty_features) is bool
            and (self.n_jobs is None or type(self.n_jobs) is int)
            and type(self.progress) is bool
            and type(self.missing_values) is float
            and self.missing_values != self.missing_values  # NaN
        )

    def _validate_params(self):
        # scikit-learn's check of every parameter against _parameter_constraints; for this class
        # with plain parameters (which it accepts) the check is skipped, anything else runs it.
        if type(self) is KNNImputer and self._plain_params():
            return
        super()._validate_params()

    def _validated(self, X, *, reset, copy=False, force_writeable=False):
        """validate_data(self, X, ...) as fit (reset) and transform call it. A plain float table
        (see _plain_table), where validate_data would only record the number of features (and drop
        the feature names of an earlier fit) or check it, and copy X when asked, takes that path
        directly; everything else goes through validate_data."""
        allow_nan = is_scalar_nan(self.missing_values)
        if (
            type(self) is KNNImputer
            and _plain_table(X, allow_nan)
            and (
                reset
                or (
                    getattr(self, "feature_names_in_", None) is None
                    and self.__dict__.get("n_features_in_") == X.shape[1]
                )
            )
        ):
            if reset:
                if hasattr(self, "feature_names_in_"):
                    delattr(self, "feature_names_in_")
                self.n_features_in_ = X.shape[1]
            if copy or (force_writeable and not X.flags.writeable):
                return np.array(X, order="K", copy=True)
            return X
        return validate_data(
            self,
            X,
            accept_sparse=False,
            dtype=FLOAT_DTYPES,
            force_writeable=force_writeable,
            ensure_all_finite="allow-nan" if allow_nan else True,
            copy=copy,
            reset=reset,
        )

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None):
        """Fit the imputer on X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Input data, where ``n_samples`` is the number of samples and
            ``n_features`` is the number of features.

        y : Ignored
            Not used, present here for API consistency by convention.

        Returns
        -------
        self : object
            The fitted ``KNNImputer`` instance.
        """
        with self._state_lock().writing():
            self._fit(self._validated(X, reset=True))
            return self

    def fit_transform(self, X, y=None, **fit_params):
        """Fit to data, then transform it: ``fit(X).transform(X)``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Input data, where ``n_samples`` is the number of samples and
            ``n_features`` is the number of features.

        y : Ignored
            Not used, present here for API consistency by convention.

        **fit_params : dict
            Additional fit parameters (``fit`` takes none).

        Returns
        -------
        X_new : ndarray of shape (n_samples, n_output_features)
            The imputed dataset, as ``transform`` returns it.
        """
        if fit_params:
            # What scikit-learn's fit_transform does with them (fit refuses them).
            return TransformerMixin.fit_transform(self, X, y, **fit_params)
        return self._fit_transform(X)

    @_fit_context(prefer_skip_nested_validation=True)
    def _fit_transform(self, X):
        # X is validated once, as transform validates it (a copy unless copy=False, writeable):
        # fit reads it (the Donors object copies it), transform then imputes it in place, as it
        # would impute its own validated copy of the same X.
        lock = self._state_lock()
        with lock.writing():
            X = self._validated(X, reset=True, copy=self.copy, force_writeable=True)
            mask = self._fit(X)
        with lock.reading():
            return self._transform(X, mask, call="fit_transform")

    def _fit(self, X):
        """Fits the validated X; returns its missing-cell mask when it was built (else None).

        The fitted rows are copied once, into the engine's own layout (the Donors object):
        later changes to X never reach the imputer, whatever `copy` says."""
        # The missing-cell mask is only built where it is needed: for a missing_values that is
        # not NaN (to mark those cells NaN) and for the indicator.
        mask = None
        fit_X = np.asarray(X, dtype=np.float64, order="C")
        if not is_scalar_nan(self.missing_values):
            mask = _get_mask(X, self.missing_values)
            if mask.any():
                fit_X = np.where(mask, np.nan, fit_X)
        donors = _query.Donors(fit_X)
        del fit_X
        # The donor counts stay in the engine; only the mask is kept here (a wide table would
        # otherwise hold a second array of counts).
        valid_mask = donors.counts() > 0
        # The row-major copy for callables: built now, once, under the writer's lock.
        rows = _rows_of(donors) if callable(self.metric) or callable(self.weights) else None
        # The engine-side state is replaced together, once all of it is built.
        self._donors, self._valid_mask = donors, valid_mask
        self.__dict__.pop("_marked", None)
        if rows is None:
            self.__dict__.pop("_rows", None)
        else:
            self._rows = rows
        if self.add_indicator and mask is None:
            mask = _get_mask(X, self.missing_values)
        super()._fit_indicator(mask)
        return mask

    def transform(self, X):
        """Impute all missing values in X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The input data to complete.

        Returns
        -------
        X : array-like of shape (n_samples, n_output_features)
            The imputed dataset. ``n_output_features`` is the number of features
            that is not always missing during ``fit`` (all of them with
            ``keep_empty_features=True``), plus the indicator's.
        """
        with self._state_lock().reading():
            check_is_fitted(self)
            return self._transform(self._validated(X, reset=False, copy=self.copy, force_writeable=True))

    def _transform(self, X, mask=None, call="transform"):
        """Imputes the validated X (in place) and returns the result; `mask` is X's missing-cell
        mask when the caller has it."""
        if mask is None:
            mask = _get_mask(X, self.missing_values)
        valid_mask = self._valid_mask
        X_indicator = super()._transform_indicator(mask)
        if np.any(mask if valid_mask.all() else mask[:, valid_mask]):
            self._impute(X, mask, call)
        if self.keep_empty_features:
            Xc = X
            Xc[:, ~valid_mask] = 0
        elif valid_mask.all() and self.copy and X.flags.c_contiguous:
            Xc = X  # already a new C-ordered array of our own, as X[:, valid_mask] would be
        else:
            Xc = X[:, valid_mask]
        return super()._concatenate_indicator(Xc, X_indicator)

    def _impute(self, X, mask, call="transform"):
        """Writes the imputed cells (missing cells of columns with fitted values) into X."""
        donors = self._donors
        nan_missing = is_scalar_nan(self.missing_values)
        # 1. The engine works in a C-ordered float64 table with NaN marking missing cells: X
        #    itself when it already is one, a copy otherwise.
        in_place = (
            nan_missing and X.dtype == np.float64 and X.flags.c_contiguous and X.flags.aligned and X.dtype.isnative
        )
        if in_place:
            work = X
        else:
            work = np.array(X, dtype=np.float64, order="C", copy=True)
            if not nan_missing:
                work[mask] = np.nan
        # 2. The pass. More neighbours than fitted rows select every donor: the count is clamped
        #    here, as a Python int, so that any n_neighbors (2**64 included) sizes nothing larger.
        k = min(int(self.n_neighbors), donors.shape[0])
        total = work.shape[0]
        report, close = _progress_reporter(self.progress, total, call)
        try:
            if callable(self.metric) or callable(self.weights):
                self._impute_with_callables(work, X, mask & self._valid_mask, k, report)
            else:
                # The lock released, the rows over n_jobs threads (bit-identical for any count).
                weights = "uniform" if self.weights is None else self.weights
                n_threads = effective_n_jobs(self.n_jobs)
                donors.impute_parallel(work, k, weights, n_threads, report)
                report = None  # the pass reported its end
            if report is not None:
                report(total, total)
        finally:
            if close is not None:
                close()
        # 3. Back into X (its own dtype) unless the pass wrote there.
        if work is not X:
            cells = mask & self._valid_mask
            X[cells] = work[cells]

    def _fitted_rows(self):
        """(row-major fitted table, column means) for the callable paths, built once per fit.

        The Donors object keeps the fitted rows only in the engine's column-blocked layout; a
        callable metric or weights needs them row by row. They are built at fit when a callable
        is configured, else on first use (a set_params after fit), and kept until the next fit.
        The means are the engine's own (summed in row order): those of a row that shares no
        coordinate with any fitted row."""
        rows = self.__dict__.get("_rows")
        if rows is None:
            with self._state_lock().building:
                rows = self.__dict__.get("_rows")
                if rows is None:
                    rows = self.__dict__["_rows"] = _rows_of(self._donors)
        return rows

    def _fitted_marked(self, fitted):
        """The fitted table with `missing_values` in its missing cells, as a callable metric sees
        it; built once per fit and value of `missing_values`."""
        marked = self.__dict__.get("_marked")
        if marked is None or marked[0] != self.missing_values:
            with self._state_lock().building:
                marked = self.__dict__.get("_marked")
                if marked is None or marked[0] != self.missing_values:
                    table = np.where(np.isnan(fitted), self.missing_values, fitted)
                    table.flags.writeable = False
                    marked = self.__dict__["_marked"] = (self.missing_values, table)
        return marked[1]

    def _impute_with_callables(self, work, X, cells, k, report):
        """A callable metric or weights: distances by rows (the metric through scikit-learn's
        pairwise machinery, the built-in one exactly as the engine computes it), donors ranked
        as the engine ranks them, then weighted by the callable or as the engine weights."""
        fitted, means = self._fitted_rows()
        row_missing_idx = np.flatnonzero(cells.any(axis=1))
        if callable(self.metric):
            fit_marked = fitted if is_scalar_nan(self.missing_values) else self._fitted_marked(fitted)
            chunks = pairwise_distances_chunked(
                X[row_missing_idx, :],
                fit_marked,
                metric=self.metric,
                missing_values=self.missing_values,
                ensure_all_finite=self._ensure_all_finite(),
            )
        else:
            step = max(1, _CHUNK_ENTRIES // max(1, fitted.shape[0]))
            chunks = (
                _nan_euclidean(work[row_missing_idx[i : i + step]], fitted)
                for i in range(0, row_missing_idx.size, step)
            )
        start = 0
        complete = work.shape[0] - row_missing_idx.size  # rows without a cell to impute
        for chunk in chunks:
            if report is not None:
                report(complete + start, work.shape[0])
            rows = row_missing_idx[start : start + len(chunk)]
            start += len(chunk)
            self._impute_rows(work, rows, np.asarray(chunk, dtype=np.float64), cells, fitted, means, k)

    def _impute_rows(self, work, rows, distances, cells, fitted, means, k):
        """Imputes the cells of `rows` given their distances to every fitted row."""
        cells = cells[rows]
        for col in np.flatnonzero(cells.any(axis=0)):
            local = np.flatnonzero(cells[:, col])
            donors = np.flatnonzero(~np.isnan(fitted[:, col]))
            # The first min(k, potential donors) fitted rows holding a value in the column.
            idx, dist = _first_donors(distances[local[:, None], donors], donors, min(k, donors.size))
            receivers = rows[local]
            some = ~np.isnan(dist[:, 0])  # a donor with a distance ranks first if there is one
            if not some.all():
                work[receivers[~some], col] = means[col]
                idx, dist, receivers = idx[some], dist[some], receivers[some]
                if not receivers.size:
                    continue
            values = fitted[idx, col]
            if callable(self.weights):
                work[receivers, col] = _callable_average(self.weights, values, dist)
            else:
                work[receivers, col] = _weighted_mean(values, dist, self.weights == "distance")

    def get_feature_names_out(self, input_features=None):
        """Get output feature names for transformation.

        Parameters
        ----------
        input_features : array-like of str or None, default=None
            Input features. If ``None``, ``feature_names_in_`` is used, or
            ``["x0", ..., "x(n_features_in_ - 1)"]`` when it is not defined.

        Returns
        -------
        feature_names_out : ndarray of str objects
            Transformed feature names.
        """
        with self._state_lock().reading("get_feature_names_out"):
            check_is_fitted(self, "n_features_in_")
            input_features = _check_feature_names_in(self, input_features)
            if self.keep_empty_features:
                names = input_features
            else:
                names = input_features[self._valid_mask]
            return self._concatenate_indicator_feature_names_out(names, input_features)
