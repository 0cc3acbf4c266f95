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
fitted side is immutable and shared by the threads. A callable ``metric`` or ``weights`` runs
on one thread (the lock released only while the engine chooses and averages donors). One
estimator may serve ``transform`` calls from many threads at once; ``fit`` on it waits until
the running ones end (and they wait for a running ``fit``), so a transform always sees one
fitted state. ``fit`` called from inside the estimator's own ``fit`` or ``transform`` on the
same thread (from a callable metric, say) raises ``RuntimeError`` instead of waiting for
itself. ``fit_transform`` keeps the state it fitted until its transform ends. Ctrl-C stops a
running ``transform`` or a wait for the lock, and leaves the lock as it was; a forked child
can use the estimator whatever its parent's threads were doing.

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
    from sklearn.metrics.pairwise import _NAN_METRICS
    from sklearn.utils._mask import _get_mask
    from sklearn.utils._missing import is_scalar_nan
    from sklearn.utils._param_validation import Hidden, Interval, StrOptions
    from sklearn.utils.validation import _check_feature_names_in, check_is_fitted
except ImportError as exc:  # scikit-learn missing, or older than 1.6
    raise ImportError('mirel.sklearn needs scikit-learn 1.6 or later: pip install "mirel[sklearn]"') from exc

from numbers import Integral, Real

import numpy as np

from mirel import _callables, _passes, _validation
from mirel._mixed import MixedImputer
from mirel._state_lock import state_lock_of

__all__ = ["KNNImputer", "MixedImputer"]


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

    algorithm : {'brute', 'ivf'}, default='brute'
        How the donors are searched (built-in metric and weights). 'brute'
        measures every fitted row: the exact result. 'ivf' builds a candidate
        index at fit: the fitted rows are grouped into ``n_lists`` lists by
        k-means (nan_euclidean distances, seeded by ``random_state``), and each
        query row measures only the rows of its nearest lists, ranked exactly
        as 'brute' ranks them; a cell whose lists hold fewer donors than
        'brute' could give it is served by a scan of every row. How many lists
        a row probes is chosen at fit by measurement: on a sample of fitted
        rows with missing cells (``recall_sample_cells_`` cells) the exact
        donors are found and the smallest probe that selects at least
        ``recall`` of them, with a margin of two standard errors, is kept
        (``recall_`` is the measured value). Where
        that probe would measure more than about a third of the rows (data on
        which lists do not separate neighbours, such as random
        high-dimensional rows), ``fit`` warns and ``transform`` runs 'brute'.
        The measurement is for ``n_neighbors`` at fit, on fitted rows; results
        are bit-identical for every ``n_jobs`` and split of the rows.

    recall : float in [0, 1], default=0.99
        With ``algorithm='ivf'``: the share of the exact donors (over the cells
        of the recall sample) that the index must select.

    n_lists : int, default=None
        With ``algorithm='ivf'``: lists of the index (``None``: about
        ``sqrt(n_samples) / 2``), at most one per 32 fitted rows.

    random_state : int, RandomState instance or None, default=None
        With ``algorithm='ivf'``: seeds the k-means and the recall sample. An
        int gives the same index, probe and results on every run.

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

    recall_ : float
        With ``algorithm='ivf'``: the measured share of the exact donors that
        the index selects with the probe kept (1.0 when it is not used).

    recall_sample_cells_ : int
        With ``algorithm='ivf'``: cells of the sample ``recall_`` was measured on.

    n_probe_ : int
        With ``algorithm='ivf'``: lists each query row probes.

    index_used_ : bool
        With ``algorithm='ivf'``: whether ``transform`` searches the index
        (False: it runs 'brute', see ``algorithm``).

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
        "algorithm": [StrOptions({"brute", "ivf"})],
        "recall": [Interval(Real, 0, 1, closed="both")],
        "n_lists": [Interval(Integral, 1, None, closed="left"), None],
        "random_state": ["random_state"],
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
        algorithm="brute",
        recall=0.99,
        n_lists=None,
        random_state=None,
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
        self.algorithm = algorithm
        self.recall = recall
        self.n_lists = n_lists
        self.random_state = random_state

    def _state_lock(self):
        return state_lock_of(self)

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
        return _validation._plain_params(self)

    def _validate_params(self):
        # scikit-learn's check of every parameter against _parameter_constraints; for this class
        # with plain parameters (which it accepts) the check is skipped, anything else runs it.
        if type(self) is KNNImputer and self._plain_params():
            return
        super()._validate_params()

    def _validated(self, X, *, reset, copy=False, force_writeable=False):
        exact = type(self) is KNNImputer
        return _validation._validated(self, X, exact=exact, reset=reset, copy=copy, force_writeable=force_writeable)

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
        # The write turns into a read in one step: no other fit gets between the two halves.
        with self._state_lock().writing() as hold:
            X = self._validated(X, reset=True, copy=self.copy, force_writeable=True)
            mask = self._fit(X)
            hold.downgrade()
            return self._transform(X, mask, call="fit_transform")

    def _fit(self, X):
        """Fits the validated X (mirel._passes.fit); returns its missing-cell mask when it was
        built (else None)."""
        mask = _passes.fit(self, X)
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
        _passes.impute(self, X, mask, call)

    def _fitted_rows(self):
        """(row-major fitted table, the engine's Rows object) for the callable paths, built once
        per fit (mirel._callables.fitted_rows)."""
        return _callables.fitted_rows(self)

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
