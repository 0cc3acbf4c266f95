"""Short paths of mirel.sklearn's validation (private): the plain cases, where scikit-learn's
checks would accept the input as it is, skip them; everything else goes through scikit-learn."""

import numpy as np
from sklearn.utils._missing import is_scalar_nan
from sklearn.utils.validation import FLOAT_DTYPES, validate_data

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


def _plain_params(est):
    """Whether the estimator's parameters are of the plain kinds that scikit-learn's parameter
    validation always accepts (the defaults are): then it need not run."""
    return (
        type(est.n_neighbors) is int
        and est.n_neighbors >= 1
        and type(est.weights) is str
        and est.weights in ("uniform", "distance")
        and type(est.metric) is str
        and est.metric == "nan_euclidean"
        and type(est.copy) is bool
        and type(est.add_indicator) is bool
        and type(est.keep_empty_features) is bool
        and (est.n_jobs is None or type(est.n_jobs) is int)
        and type(est.progress) is bool
        and type(est.algorithm) is str
        and est.algorithm == "brute"
        and type(est.recall) is float
        and 0.0 <= est.recall <= 1.0
        and est.n_lists is None
        and est.random_state is None
        and type(est.missing_values) is float
        and est.missing_values != est.missing_values  # NaN
    )


def _validated(est, X, *, exact, reset, copy=False, force_writeable=False):
    """validate_data(est, X, ...) as fit (reset) and transform call it. For the class itself
    (`exact`; a subclass may override what validate_data calls), a plain float table (see
    _plain_table), where validate_data would only record the number of features (and drop the
    feature names of an earlier fit) or check it, and copy X when asked, takes that path
    directly; everything else goes through validate_data."""
    allow_nan = is_scalar_nan(est.missing_values)
    if (
        exact
        and _plain_table(X, allow_nan)
        and (
            reset
            or (getattr(est, "feature_names_in_", None) is None and est.__dict__.get("n_features_in_") == X.shape[1])
        )
    ):
        if reset:
            if hasattr(est, "feature_names_in_"):
                delattr(est, "feature_names_in_")
            est.n_features_in_ = X.shape[1]
        if copy or (force_writeable and not X.flags.writeable):
            return np.array(X, order="K", copy=True)
        return X
    return validate_data(
        est,
        X,
        accept_sparse=False,
        dtype=FLOAT_DTYPES,
        force_writeable=force_writeable,
        ensure_all_finite="allow-nan" if allow_nan else True,
        copy=copy,
        reset=reset,
    )
