"""scikit-learn's KNNImputer on mirel's engine.

``mirel.sklearn.KNNImputer`` is a drop-in replacement for ``sklearn.impute.KNNImputer``: the
same parameters, attributes, validation, messages and results. Rows given to ``transform`` are
imputed from the rows given to ``fit``: for every missing cell, the donors are the fitted rows
that hold a value in its column, nearest first by scikit-learn's ``nan_euclidean`` distance,
and the cell gets the (uniform or 1/distance) weighted mean of the first ``n_neighbors`` of them.

Differences from scikit-learn, all on the side of exactness:

* distances are computed directly, coordinate by coordinate, never through the dot-product
  expansion scikit-learn uses, so they carry no cancellation error and do not depend on BLAS,
  threads or chunk sizes;
* equal distances are broken by the lower fitted row index (scikit-learn leaves the order of
  equal distances to ``numpy.argpartition``).

Where no two candidate distances of a cell are within rounding of each other, both give the
same values up to the last bits of the sums.

``mirel.KnnImputer`` is a different tool with a different contract (rows paired by index with
the fitted table, unnormalised sums); this module leaves it untouched.
"""

try:
    import sklearn  # noqa: F401
    from sklearn.base import _fit_context
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

from numbers import Integral

import numpy as np

from mirel import _query

__all__ = ["KNNImputer"]


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
        a callable takes an array of distances and returns weights of the same
        shape (it is called once per imputed column).

    metric : {'nan_euclidean'} or callable, default='nan_euclidean'
        A callable ``func(x, y, *, missing_values=np.nan)`` gives the distance of
        two rows; it is called for every pair (slow, as in scikit-learn).

    copy : bool, default=True
        If True, a copy of X will be created. If False, imputation will be done
        in-place whenever possible.

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

    def _ensure_all_finite(self):
        return "allow-nan" if is_scalar_nan(self.missing_values) else True

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
        # The fitted rows are copied once, into the engine's own layout (the Donors object):
        # later changes to X never reach the imputer, whatever `copy` says.
        X = validate_data(
            self,
            X,
            accept_sparse=False,
            dtype=FLOAT_DTYPES,
            ensure_all_finite=self._ensure_all_finite(),
            copy=False,
        )
        # The missing-cell mask is only built where it is needed: for a missing_values that is
        # not NaN (to mark those cells NaN) and for the indicator.
        mask = None
        fit_X = np.asarray(X, dtype=np.float64, order="C")
        if not is_scalar_nan(self.missing_values):
            mask = _get_mask(X, self.missing_values)
            if mask.any():
                fit_X = np.where(mask, np.nan, fit_X)
        self._donors = _query.Donors(fit_X)
        del fit_X
        self._n_donors = self._donors.counts()
        self._valid_mask = self._n_donors > 0
        if self.add_indicator and mask is None:
            mask = _get_mask(X, self.missing_values)
        super()._fit_indicator(mask)
        return self

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
        check_is_fitted(self)
        X = validate_data(
            self,
            X,
            accept_sparse=False,
            dtype=FLOAT_DTYPES,
            force_writeable=True,
            ensure_all_finite=self._ensure_all_finite(),
            copy=self.copy,
            reset=False,
        )
        mask = _get_mask(X, self.missing_values)
        valid_mask = self._valid_mask
        X_indicator = super()._transform_indicator(mask)
        if np.any(mask if valid_mask.all() else mask[:, valid_mask]):
            self._impute(X, mask)
        if self.keep_empty_features:
            Xc = X
            Xc[:, ~valid_mask] = 0
        elif valid_mask.all():
            Xc = X  # nothing to drop: no second copy
        else:
            Xc = X[:, valid_mask]
        return super()._concatenate_indicator(Xc, X_indicator)

    def _impute(self, X, mask):
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
        # 2. The pass.
        k = int(self.n_neighbors)
        if callable(self.metric):
            self._impute_given_metric(work, X, mask, k)
        elif callable(self.weights):
            self._impute_weighted(donors.fitted(), work, k, None)
        else:
            weights = "uniform" if self.weights is None else self.weights
            donors.impute(work, k, weights)
        # 3. Back into X (its own dtype) unless the pass wrote there.
        if work is not X:
            cells = mask & self._valid_mask
            X[cells] = work[cells]

    def _impute_weighted(self, fit_X, work, k, distances):
        """A callable `weights`: the engine selects the donors, the callable weights them."""
        cells = np.isnan(work) & self._valid_mask
        rows, cols = np.nonzero(cells)
        index = np.empty((rows.size, k), dtype=np.int64)
        distance = np.empty((rows.size, k), dtype=np.float64)
        self._donors.select(work, k, index, distance, distances)
        potential = self._n_donors
        with_donors = index[:, 0] >= 0  # the others got the column mean
        for col in np.unique(cols[with_donors]):
            chosen = np.flatnonzero(with_donors & (cols == col))
            n_neighbors = min(k, int(potential[col]))
            donors_dist = distance[chosen, :n_neighbors]
            weight_matrix = np.asarray(self.weights(donors_dist))
            weight_matrix[np.isnan(weight_matrix)] = 0.0
            donors = np.ma.array(fit_X[index[chosen, :n_neighbors], col], mask=False)
            work[rows[chosen], col] = np.ma.average(donors, axis=1, weights=weight_matrix).data

    def _impute_given_metric(self, work, X, mask, k):
        """A callable `metric`: distances from scikit-learn's pairwise machinery, chunk by chunk."""
        fit_X = self._donors.fitted()
        fit_marked = fit_X
        if not is_scalar_nan(self.missing_values):
            fit_marked = np.where(np.isnan(fit_X), self.missing_values, fit_X)
        row_missing_idx = np.flatnonzero(mask[:, self._valid_mask].any(axis=1))
        chunks = pairwise_distances_chunked(
            X[row_missing_idx, :],
            fit_marked,
            metric=self.metric,
            missing_values=self.missing_values,
            ensure_all_finite=self._ensure_all_finite(),
        )
        start = 0
        for chunk in chunks:
            rows = row_missing_idx[start : start + len(chunk)]
            start += len(chunk)
            part = np.ascontiguousarray(work[rows])
            given = np.ascontiguousarray(chunk, dtype=np.float64)
            if callable(self.weights):
                self._impute_weighted(fit_X, part, k, given)
            else:
                weights = "uniform" if self.weights is None else self.weights
                self._donors.impute(part, k, weights, given)
            work[rows] = part

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
        check_is_fitted(self, "n_features_in_")
        input_features = _check_feature_names_in(self, input_features)
        if self.keep_empty_features:
            names = input_features
        else:
            names = input_features[self._valid_mask]
        return self._concatenate_indicator_feature_names_out(names, input_features)
