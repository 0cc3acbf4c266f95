"""The engine side of mirel.sklearn.KNNImputer (private): the fitted state that ``fit`` builds
and the pass that ``transform`` runs. NumPy code here only validates and moves data; every
numeric rule is the engine's (mirel._query, mirel._index)."""

import numpy as np
from joblib import effective_n_jobs
from sklearn.utils import check_random_state
from sklearn.utils._mask import _get_mask
from sklearn.utils._missing import is_scalar_nan

from mirel import _callables, _index, _query
from mirel._progress import reporter


def fit(estimator, X):
    """Builds and installs the engine's state of `estimator` for the validated X; returns X's
    missing-cell mask when it was built (else None).

    The fitted rows are copied once, into the engine's own layout (the Donors object): later
    changes to X never reach the imputer, whatever `copy` says. Beside it: the mask of columns
    with a fitted value, the candidate index and the row-major copy for callables."""
    # The missing-cell mask is only built where it is needed: for a missing_values that is
    # not NaN (to mark those cells NaN) and for the indicator.
    mask = None
    fit_X = np.asarray(X, dtype=np.float64, order="C")
    if not is_scalar_nan(estimator.missing_values):
        mask = _get_mask(X, estimator.missing_values)
        if mask.any():
            fit_X = np.where(mask, np.nan, fit_X)
    donors = _query.Donors(fit_X)
    # The donor counts stay in the engine; only the mask is kept here (a wide table would
    # otherwise hold a second array of counts).
    valid_mask = donors.counts() > 0
    callables = callable(estimator.metric) or callable(estimator.weights)
    index = None
    if estimator.algorithm == "ivf" and not callables:
        rng = np.random.default_rng(check_random_state(estimator.random_state).randint(2**31 - 1))
        index = _index.CandidateIndex.fit(
            donors,
            fit_X,
            valid_mask,
            estimator.n_neighbors,
            estimator.recall,
            estimator.n_lists,
            rng,
            n_threads=effective_n_jobs(estimator.n_jobs),
        )
    del fit_X
    # The row-major copy for callables: built now, once, under the writer's lock.
    rows = _callables.rows_of(donors) if callables else None
    # The engine-side state is replaced together, once all of it is built.
    estimator._donors, estimator._valid_mask = donors, valid_mask
    estimator.__dict__.pop("_marked", None)
    _index.set_fitted(estimator, index)
    if rows is None:
        estimator.__dict__.pop("_rows", None)
    else:
        estimator._rows = rows
    return mask


def impute(estimator, X, mask, call="transform"):
    """Writes the imputed cells (missing cells of columns with fitted values) into X."""
    donors = estimator._donors
    nan_missing = is_scalar_nan(estimator.missing_values)
    # 1. The engine works in a C-ordered float64 table with NaN marking missing cells: X
    #    itself when it already is one, a copy otherwise.
    in_place = nan_missing and X.dtype == np.float64 and X.flags.c_contiguous and X.flags.aligned and X.dtype.isnative
    if in_place:
        work = X
    else:
        work = np.array(X, dtype=np.float64, order="C", copy=True)
        if not nan_missing:
            work[mask] = np.nan
    # 2. The pass. More neighbours than fitted rows select every donor: the count is clamped
    #    here, as a Python int, so that any n_neighbors (2**64 included) sizes nothing larger.
    k = min(int(estimator.n_neighbors), donors.shape[0])
    total = work.shape[0]
    report, close = reporter(estimator.progress, total, f"KNNImputer.{call}")
    try:
        if callable(estimator.metric) or callable(estimator.weights):
            _callables.impute_for(estimator, work, X, mask & estimator._valid_mask, k, report)
        else:
            # The lock released, the rows over n_jobs threads (bit-identical for any count).
            weights = "uniform" if estimator.weights is None else estimator.weights
            n_threads = effective_n_jobs(estimator.n_jobs)
            index = estimator.__dict__.get("_index")
            if index is not None and index.serves(k):
                index.impute(work, k, weights, n_threads, report)
            else:
                donors.impute_parallel(work, k, weights, n_threads, report)
            report = None  # the pass reported its end
        if report is not None:
            report(total, total)
    finally:
        if close is not None:
            close()
    # 3. Back into X (its own dtype) unless the pass wrote there.
    if work is not X:
        cells = mask & estimator._valid_mask
        X[cells] = work[cells]
