"""mirel.sklearn.KNNImputer: scikit-learn's estimator checks, agreement with
sklearn.impute.KNNImputer, the exact paths of the private query module, and its messages."""

import gc
import pickle
import subprocess
import sys

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")
from sklearn.base import clone  # noqa: E402
from sklearn.impute import KNNImputer as SkKNNImputer  # noqa: E402
from sklearn.metrics.pairwise import nan_euclidean_distances  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from conftest import UNDER_SANITIZER  # noqa: E402
from mirel import _query  # noqa: E402
from mirel.sklearn import KNNImputer  # noqa: E402


def inverse_one_plus(d):
    return 1.0 / (1.0 + d)


# scikit-learn skips its array-API check by itself ("SCIPY_ARRAY_API is not set"); the estimator
# does not declare array-API support, so that check would not apply to it in any case.
@parametrize_with_checks(
    [
        KNNImputer(),
        KNNImputer(n_neighbors=2, weights="distance", add_indicator=True),
        KNNImputer(missing_values=-1.0, keep_empty_features=True),
        KNNImputer(n_neighbors=3, weights=inverse_one_plus),
    ]
)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


# --- agreement with scikit-learn ------------------------------------------------------------


def direct_distances(query, fitted):
    """nan_euclidean computed coordinate by coordinate (NaN marks missing cells)."""
    cols = query.shape[1]
    diff = query[:, None, :] - fitted[None, :, :]
    present = np.count_nonzero(~np.isnan(diff), axis=2)
    sums = np.nansum(diff * diff, axis=2)
    with np.errstate(divide="ignore", invalid="ignore"):
        d = np.sqrt(sums * (cols / present))
    d[present == 0] = np.nan
    return d


def ambiguous_cells(query, fitted, k, rel=1e-9):
    """Missing cells whose k nearest donors are not decided beyond rounding: the k-th and the
    (k+1)-th usable donor distances lie within `rel` of each other."""
    d = direct_distances(query, fitted)
    out = np.zeros(query.shape, dtype=bool)
    for r, c in zip(*np.nonzero(np.isnan(query))):
        donors = d[r, ~np.isnan(fitted[:, c])]
        donors = np.sort(donors[~np.isnan(donors)])
        if donors.size > k and donors[k] - donors[k - 1] <= rel * donors[k]:
            out[r, c] = True
    return out


def random_table(rng, rows, cols, rate, empty_cols=()):
    # Non-negative integer cells: scikit-learn's dot-product distances are then exact before
    # the final scaling and square root, so both sides rank the same rows wherever the
    # distances are apart, and the weighted means carry no cancellation.
    x = rng.integers(0, 1000, size=(rows, cols)).astype(np.float64)
    x[rng.random(x.shape) < rate] = np.nan
    x[:, list(empty_cols)] = np.nan
    return x


def scenario(seed):
    rng = np.random.default_rng(seed)
    cols = int(rng.integers(2, 9))
    params = dict(
        n_neighbors=int(rng.integers(1, 11)),
        weights=("uniform", "distance")[seed % 2],
        keep_empty_features=bool(seed % 3 == 0),
        add_indicator=bool(seed % 5 < 2),
        missing_values=-1.0 if seed % 4 == 1 else np.nan,
    )
    rate = float(rng.uniform(0.05, 0.5))
    empty = (int(rng.integers(0, cols)),) if seed % 3 != 2 else ()
    fitted = random_table(rng, int(rng.integers(20, 200)), cols, rate, empty)
    query = random_table(rng, int(rng.integers(1, 80)), cols, rate)
    return rng, params, fitted, query


@pytest.mark.parametrize("seed", range(48))
def test_agrees_with_scikit_learn_where_no_distances_tie(seed):
    rng, params, fitted, query = scenario(seed)
    k = params["n_neighbors"]
    skip = ambiguous_cells(query, fitted, k)
    marker = params["missing_values"]
    a, b = fitted, query
    if not np.isnan(marker):
        a, b = np.where(np.isnan(fitted), marker, fitted), np.where(np.isnan(query), marker, query)
    ours = KNNImputer(**params).fit(a)
    theirs = SkKNNImputer(**params).fit(a)
    for got, want, q in (
        (ours.transform(b), theirs.transform(b), query),
        (ours.fit_transform(a), theirs.fit_transform(a), fitted),
    ):
        assert got.shape == want.shape and got.dtype == want.dtype
        keep = np.ones(got.shape, dtype=bool)
        kept_cols = (
            np.arange(q.shape[1])
            if params["keep_empty_features"]
            else np.flatnonzero(~np.all(np.isnan(fitted), axis=0))
        )
        sub = ambiguous_cells(q, fitted, k) if q is fitted else skip
        keep[:, : kept_cols.size] = ~sub[:, kept_cols]
        np.testing.assert_allclose(got[keep], want[keep], rtol=1e-12, atol=0)
        # The comparison is not vacuous: most imputed cells are compared.
        imputed = np.isnan(q[:, kept_cols]) & ~np.all(np.isnan(fitted[:, kept_cols]), axis=0)
        assert np.count_nonzero(imputed & keep[:, : kept_cols.size]) >= 0.5 * np.count_nonzero(imputed)


def test_ties_break_by_the_lower_fitted_row_index():
    fitted = np.array([[0.0, 10.0], [2.0, 20.0], [-2.0, 30.0], [2.0, 40.0], [np.nan, 50.0]])
    query = np.array([[0.0, np.nan]])
    # Rows 1, 2 and 3 tie at distance 2 behind row 0: k = 2 takes row 1, k = 3 rows 1 and 2.
    for k, want in ((1, 10.0), (2, 15.0), (3, 20.0), (4, 25.0), (5, 25.0)):
        assert KNNImputer(n_neighbors=k).fit(fitted).transform(query)[0, 1] == want


def metric_rowwise(x, y, missing_values=np.nan):
    return nan_euclidean_distances(x[None, :], y[None, :], missing_values=missing_values)[0, 0]


@pytest.mark.parametrize("missing_values", [np.nan, -1.0])
@pytest.mark.parametrize(
    "weights,metric",
    [
        (inverse_one_plus, "nan_euclidean"),
        ("distance", metric_rowwise),
        (lambda d: np.exp(-d / 100.0), metric_rowwise),
    ],
)
def test_callables_agree_with_scikit_learn(weights, metric, missing_values):
    rng = np.random.default_rng(7)
    fitted = random_table(rng, 40, 4, 0.25, (3,))
    query = random_table(rng, 15, 4, 0.25)
    skip = ambiguous_cells(query, fitted, 3)[:, :3]
    if not np.isnan(missing_values):
        fitted, query = (np.where(np.isnan(t), missing_values, t) for t in (fitted, query))
    params = dict(n_neighbors=3, weights=weights, metric=metric, missing_values=missing_values)
    got = KNNImputer(**params).fit(fitted).transform(query)
    want = SkKNNImputer(**params).fit(fitted).transform(query)
    np.testing.assert_allclose(got[~skip], want[~skip], rtol=1e-12, atol=0)
    assert np.count_nonzero(~skip) > 0.9 * skip.size


def test_receivers_without_distance_get_the_column_mean_and_empty_columns_are_kept_as_zero():
    fitted = np.array([[1.0, np.nan, np.nan], [np.nan, 4.0, np.nan], [np.nan, 8.0, np.nan]])
    query = np.array([[np.nan, 5.0, 1.0], [3.0, np.nan, np.nan]])
    for keep in (False, True):
        got = KNNImputer(n_neighbors=2, keep_empty_features=keep).fit(fitted).transform(query)
        want = SkKNNImputer(n_neighbors=2, keep_empty_features=keep).fit(fitted).transform(query)
        np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(got, [[1.0, 5.0, 0.0], [3.0, 6.0, 0.0]])


# --- what scikit-learn users hand over ----------------------------------------------------


@pytest.mark.parametrize(
    "make,missing",
    [
        (lambda x: x.tolist(), np.nan),
        (lambda x: np.where(np.isnan(x), -1, x).astype(np.int64), -1),
        (lambda x: x.astype(np.float32), np.nan),
        (lambda x: np.asfortranarray(x), np.nan),
        (lambda x: pytest.importorskip("pandas").DataFrame(x, columns=list("abcde")), np.nan),
    ],
    ids=["list", "int64", "float32", "fortran", "dataframe"],
)
def test_inputs_and_output_types_match_scikit_learn(make, missing):
    rng = np.random.default_rng(3)
    fitted = random_table(rng, 60, 5, 0.2)
    query = random_table(rng, 20, 5, 0.2)
    skip = ambiguous_cells(query, fitted, 5)
    a, b = make(fitted), make(query)
    got = KNNImputer(missing_values=missing).fit(a).transform(b)
    want = SkKNNImputer(missing_values=missing).fit(a).transform(b)
    assert type(got) is type(want) and got.dtype == want.dtype and got.shape == want.shape
    rtol = 1e-6 if got.dtype == np.float32 else 1e-12
    np.testing.assert_allclose(got[~skip], want[~skip], rtol=rtol, atol=0)


def test_pandas_output_and_feature_names_keep_empty_columns():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"a": [1.0, np.nan, 3.0], "b": [np.nan] * 3, "c": [1.0, 2.0, np.nan]})
    for keep, names in ((False, ["a", "c"]), (True, ["a", "b", "c"])):
        imputer = KNNImputer(keep_empty_features=keep, add_indicator=True).set_output(transform="pandas")
        out = imputer.fit_transform(frame)
        want = names + ["missingindicator_a", "missingindicator_b", "missingindicator_c"]
        assert list(out.columns) == want
        assert list(imputer.get_feature_names_out()) == want


def test_copy_false_imputes_in_place_as_scikit_learn_does():
    rng = np.random.default_rng(5)
    fitted = random_table(rng, 50, 4, 0.2)
    for order in ("C", "F"):
        mine, theirs = (np.array(random_table(np.random.default_rng(6), 10, 4, 0.3), order=order) for _ in range(2))
        skip = ambiguous_cells(mine, fitted, 5)
        KNNImputer(copy=False).fit(fitted).transform(mine)
        SkKNNImputer(copy=False).fit(fitted).transform(theirs)
        np.testing.assert_allclose(mine[~skip], theirs[~skip], rtol=1e-12, atol=0)
        assert not np.isnan(mine).any()


def test_fit_transform_in_place_reads_the_fitted_rows_as_they_were_fitted():
    rng = np.random.default_rng(9)
    x = random_table(rng, 120, 5, 0.3)
    expected = KNNImputer().fit(x.copy()).transform(x.copy())
    np.testing.assert_array_equal(KNNImputer(copy=False).fit_transform(x), expected)


def test_clone_pickle_and_parameters():
    rng = np.random.default_rng(11)
    fitted, query = random_table(rng, 40, 3, 0.2), random_table(rng, 10, 3, 0.3)
    imputer = KNNImputer(n_neighbors=3, weights="distance", add_indicator=True).fit(fitted)
    again = pickle.loads(pickle.dumps(imputer))
    np.testing.assert_array_equal(again.transform(query), imputer.transform(query))
    twin = clone(imputer)
    assert twin.get_params() == imputer.get_params() and not hasattr(twin, "n_features_in_")
    assert twin.set_params(n_neighbors=7).n_neighbors == 7


def bad_inputs():
    return [
        (dict(n_neighbors=0), [[1.0, 2.0]], None),
        (dict(weights="closest"), [[1.0, 2.0]], None),
        (dict(metric="euclidean"), [[1.0, 2.0]], None),
        (dict(missing_values=-1), [[np.nan, 2.0]], None),
        ({}, [[np.inf, 2.0]], None),
        ({}, [["a", "b"]], None),
        ({}, np.zeros((0, 2)), None),
        ({}, [[1.0, 2.0]], [[1.0, 2.0, 3.0]]),
        ({}, None, [[1.0, 2.0]]),
    ]


@pytest.mark.parametrize("params,fit_data,transform_data", bad_inputs())
def test_errors_are_scikit_learns(params, fit_data, transform_data):
    def outcome(cls):
        try:
            imputer = cls(**params)
            if fit_data is not None:
                imputer.fit(fit_data)
            imputer.transform(transform_data)
        except Exception as exc:  # noqa: BLE001 - the exception is what is compared
            return type(exc), str(exc)
        return None

    want = outcome(SkKNNImputer)
    assert want is not None and outcome(KNNImputer) == want


def test_import_without_scikit_learn_names_the_extra():
    code = "import sys; sys.modules['sklearn'] = None\ntry:\n import mirel.sklearn\nexcept ImportError as e:\n print(e)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == 'mirel.sklearn needs scikit-learn 1.6 or later: pip install "mirel[sklearn]"'


# --- the private query module ---------------------------------------------------------------


def adversarial_table(rng, rows, cols):
    # Few distinct values (many exact ties), whole missing rows and columns, huge magnitudes
    # whose squares overflow, negative zeros.
    x = rng.choice([0.0, -0.0, 1.0, 2.0, 3.0, 1e200, -1e200, 0.5], size=(rows, cols))
    x[rng.random(x.shape) < 0.3] = np.nan
    x[rng.integers(0, rows), :] = np.nan
    x[:, rng.integers(0, cols)] = np.nan
    return x


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("weights", ["uniform", "distance"])
def test_every_pass_gives_the_reference_bits(seed, weights):
    rng = np.random.default_rng(seed)
    cols = int(rng.integers(1, 40))
    fitted = adversarial_table(rng, int(rng.integers(1, 150)), cols) if seed % 2 else random_table(rng, 150, cols, 0.3)
    query = adversarial_table(rng, 40, cols) if seed % 3 else random_table(rng, 40, cols, 0.4)
    k = int(rng.integers(1, 12))
    donors = _query.Donors(fitted)
    assert donors.fitted().tobytes() == fitted.tobytes() and donors.shape == fitted.shape
    want = query.copy()
    donors.impute(want, k, weights, kernel="reference")
    for kernel in _query.kernels():
        got = query.copy()
        donors.impute(got, k, weights, kernel=kernel)
        assert got.tobytes() == want.tobytes(), kernel
    again = pickle.loads(pickle.dumps(donors))
    got = query.copy()
    again.impute(got, k, weights)
    assert got.tobytes() == want.tobytes()


def test_given_distances_and_selection_follow_the_reference():
    rng = np.random.default_rng(1)
    fitted, query = random_table(rng, 30, 4, 0.3), random_table(rng, 12, 4, 0.4)
    donors = _query.Donors(fitted)
    want = query.copy()
    donors.impute(want, 3, "distance")
    got = query.copy()
    donors.impute(got, 3, "distance", direct_distances(query, fitted))
    np.testing.assert_array_equal(got, want)
    cells = int(np.count_nonzero(np.isnan(query)))
    index, distance = np.empty((cells, 3), np.int64), np.empty((cells, 3))
    picked = query.copy()
    donors.select(picked, 3, index, distance)
    d = direct_distances(query, fitted)
    for cell, (r, c) in enumerate(zip(*np.nonzero(np.isnan(query)))):
        candidates = np.flatnonzero(~np.isnan(fitted[:, c]))
        if np.isnan(d[r, candidates]).all():  # no donor has a distance: the column mean, no selection
            assert (index[cell] == -1).all() and np.isnan(distance[cell]).all()
            assert picked[r, c] == np.nanmean(fitted[:, c])
            continue
        order = candidates[np.lexsort((candidates, np.nan_to_num(d[r, candidates], nan=np.inf)))][:3]
        np.testing.assert_array_equal(index[cell], order)
        np.testing.assert_array_equal(distance[cell], d[r, order])
        assert np.isnan(picked[r, c])


def test_donors_memory_is_reported_while_they_live():
    tracemalloc = pytest.importorskip("tracemalloc")
    fitted = np.zeros((1000, 16))
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        donors = _query.Donors(fitted)
        held = tracemalloc.get_traced_memory()[0] - before
        del donors
        after = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert held >= fitted.nbytes and after < fitted.nbytes // 100


def test_query_module_refuses_what_the_layer_above_does_not_hand_over():
    fitted, query = np.zeros((3, 2)), np.full((2, 2), np.nan)
    cases = [
        (lambda: _query.Donors(fitted.tolist()), TypeError, "fitted must be a numpy.ndarray, not 'list'"),
        (lambda: _query.Donors(fitted[0]), ValueError, "fitted must have 2 dimensions, not 1"),
        (lambda: _query.Donors(fitted.astype(np.float32)), TypeError, "fitted must hold native float64 values"),
        (lambda: _query.Donors(fitted.astype(">f8")), TypeError, "fitted must hold native float64 values"),
        (
            lambda: _query.Donors(np.asfortranarray(np.zeros((3, 2)))),
            ValueError,
            "fitted must be C-contiguous and aligned",
        ),
    ]
    donors = _query.Donors(fitted)
    readonly = query.copy()
    readonly.flags.writeable = False
    shared = np.full(8, np.nan)
    cases += [
        (lambda: donors.impute(np.zeros((2, 3)), 1, "uniform"), ValueError, "query has 3 columns, fitted has 2"),
        (lambda: donors.impute(query.T, 1, "uniform"), ValueError, "query must be C-contiguous and aligned"),
        (lambda: donors.impute(readonly, 1, "uniform"), ValueError, "query must be writeable"),
        (lambda: donors.impute(query, 0, "uniform"), ValueError, "n_neighbors must be at least 1, not 0"),
        (
            lambda: donors.impute(query, 1, "nearest"),
            ValueError,
            "weights must be 'uniform' or 'distance', not 'nearest'",
        ),
        (
            lambda: donors.impute(query, 1, "uniform", np.zeros((2, 2))),
            ValueError,
            "distances must have shape (2, 3), not (2, 2)",
        ),
        (
            lambda: donors.impute(shared[:4].reshape(2, 2), 1, "uniform", shared[2:8].reshape(2, 3)),
            ValueError,
            "query must not share memory with distances",
        ),
        (lambda: donors.impute(query, 1, "uniform", kernel="sse9"), ValueError, "kernel 'sse9' is not available here"),
        (lambda: donors.impute(query, 1, "uniform", kernel=3), TypeError, "kernel must be a str or None, not 'int'"),
        (
            lambda: donors.select(query, 1, np.empty((3, 1), np.int64), np.empty((3, 1))),
            ValueError,
            "index and distance must have shape (4, 1)",
        ),
        (
            lambda: donors.select(query, 1, np.empty((4, 1)), np.empty((4, 1))),
            TypeError,
            "index must hold native int64 values",
        ),
    ]
    for call, exc, message in cases:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message
    assert np.isnan(query).all()  # refused calls write nothing
    assert _query.kernels()[0] in ("reference", "portable", "avx2", "avx512") and "reference" in _query.kernels()


@pytest.mark.skipif(UNDER_SANITIZER, reason="AddressSanitizer holds freed memory in quarantine")
def test_donors_leave_no_memory_behind_over_many_calls_and_failures():
    psutil = pytest.importorskip("psutil")
    rng = np.random.default_rng(4)
    fitted, query = random_table(rng, 500, 20, 0.1), random_table(rng, 50, 20, 0.1)
    cells = int(np.count_nonzero(np.isnan(query)))

    def once():
        donors = _query.Donors(fitted)
        donors.impute(query.copy(), 5, "distance")
        pickle.loads(pickle.dumps(donors)).impute(query.copy(), 3, "uniform")
        donors.select(query.copy(), 5, np.empty((cells, 5), np.int64), np.empty((cells, 5)))
        with pytest.raises(ValueError):
            donors.impute(np.zeros((2, 3)), 5, "uniform")
        with pytest.raises(ValueError):
            donors.select(query.copy(), 5, np.empty((1, 5), np.int64), np.empty((1, 5)))

    for _ in range(10):
        once()
    gc.collect()
    before = psutil.Process().memory_info().rss
    for _ in range(100):
        once()
    gc.collect()
    # A Donors object (80 KB here) lost per round would show as 8 MB.
    assert psutil.Process().memory_info().rss - before < 2**20
