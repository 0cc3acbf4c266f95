"""mirel.sklearn.KNNImputer side by side with sklearn.impute.KNNImputer at the edges: what a
callable `weights` returns, n_neighbors far beyond the fitted rows, what copy=False returns and
does to the caller's array in every layout; and the rules of its own where it differs on
purpose (huge and tiny magnitudes, the float32 column mean), with the callable paths' engine
entry (selection and averaging over given distances) checked bit for bit against the engine's
straightforward pass."""

import warnings

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")
pd = pytest.importorskip("pandas")
from sklearn.impute import KNNImputer as SkKNNImputer  # noqa: E402

from conftest import IS_PYPY  # noqa: E402
from mirel import _query  # noqa: E402
from mirel.sklearn import KNNImputer  # noqa: E402

# Frames transformed after a fit on arrays: both estimators warn alike.
pytestmark = pytest.mark.filterwarnings("ignore:X has feature names:UserWarning")

nan = np.nan
SMALL = np.array([[1, 2, nan], [3, 4, 3], [nan, 6, 5], [8, 8, 7]], dtype=np.float64)


def outcome(make, call):
    """(kind, value) of running call(estimator): the result, or the error's type and message."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return "value", call(make())
    except Exception as exc:  # noqa: BLE001 - the error is what is compared
        return type(exc), str(exc)


def assert_same_outcome(ours, theirs, rtol=1e-9):
    assert ours[0] == theirs[0], (ours, theirs)
    if ours[0] == "value":
        # The two compute distances differently (directly, by dot products): the last bits of
        # the means differ (scikit-learn also computes float32 tables in float32).
        got, want = (np.asarray(v, dtype=np.float64) for v in (ours[1], theirs[1]))
        np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol * 1e-3)
    else:
        assert ours[1] == theirs[1]


def partial_table(seed):
    """Continuous values (no ties) with rows that share no coordinate with some fitted rows,
    so that some selections hold donors without a distance (NaN, ranked last)."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(14, 4))
    x[rng.random(x.shape) < 0.3] = nan
    x[:3, :2] = nan  # these rows share no coordinate with rows holding only the first two
    x[3:5, 2:] = nan
    return x


def manhattan(a, b, missing_values=nan):
    d = np.abs(a - b)
    held = ~np.isnan(d)
    return float(d[held].sum()) if held.any() else nan  # no shared coordinate: no distance


# --- 1. what a callable `weights` returns ---------------------------------------------------

RETURNS = {
    "array": lambda d: np.exp(-d),
    "None": lambda d: None,
    "list": lambda d: d.tolist(),
    "scalar": lambda d: 1.0,
    "all NaN": lambda d: np.full_like(d, nan),
    "some NaN": lambda d: np.where(d > 1.5, nan, 1.0 / (1.0 + d)),
    "zeros": lambda d: np.zeros_like(d),
    "ones (donors without distance count)": lambda d: np.ones_like(d),
    "integers": lambda d: np.ones(d.shape, dtype=np.int64),
    "wrong shape": lambda d: d[:, :1],
    "masked": lambda d: np.ma.masked_invalid(1.0 / (1.0 + d)),
}


@pytest.mark.parametrize("returned", list(RETURNS), ids=list(RETURNS))
@pytest.mark.parametrize("table", ["small", "partial-0", "partial-1"])
@pytest.mark.parametrize("metric", ["nan_euclidean", "callable"])
@pytest.mark.parametrize("n_neighbors", [2, 6, 40])
def test_callable_weights_return_values_are_used_as_scikit_learn_uses_them(returned, table, metric, n_neighbors):
    x = SMALL if table == "small" else partial_table(int(table[-1]))
    if returned in ("ones (donors without distance count)", "integers") and table != "small" and n_neighbors < 14:
        # Weight on donors without a distance, and fewer neighbours than donors: which of those
        # scikit-learn takes is up to numpy.argpartition (mirel takes the lower row indices).
        pytest.skip("scikit-learn's choice among donors without a distance is arbitrary")
    params = dict(n_neighbors=n_neighbors, weights=RETURNS[returned])
    if metric == "callable":
        params["metric"] = manhattan
    ours = outcome(lambda: KNNImputer(**params), lambda e: e.fit_transform(x.copy()))
    theirs = outcome(lambda: SkKNNImputer(**params), lambda e: e.fit_transform(x.copy()))
    assert_same_outcome(ours, theirs)


# --- 2. n_neighbors far beyond the fitted rows, on every path -------------------------------


def gaussian(d):
    return np.exp(-0.5 * d**2)


PATHS = {
    "uniform": {},
    "distance": {"weights": "distance"},
    "callable weights": {"weights": gaussian},
    "callable metric": {"metric": manhattan},
    "callable metric and weights": {"metric": manhattan, "weights": gaussian},
}


@pytest.mark.parametrize("path", list(PATHS), ids=list(PATHS))
@pytest.mark.parametrize("n_neighbors", [14, 15, 10**9, 2**63, 2**64, 10**30])
def test_more_neighbours_than_fitted_rows_select_every_donor(path, n_neighbors):
    fitted, query = partial_table(3), partial_table(4)
    params = PATHS[path]
    want = KNNImputer(n_neighbors=14, **params).fit(fitted).transform(query)  # 14 fitted rows
    got = KNNImputer(n_neighbors=n_neighbors, **params).fit(fitted).transform(query)
    assert got.tobytes() == want.tobytes()
    theirs = outcome(lambda: SkKNNImputer(n_neighbors=n_neighbors, **params), lambda e: e.fit(fitted).transform(query))
    assert_same_outcome(("value", got), theirs)


def test_more_neighbours_than_fitted_rows_through_dask():
    da = pytest.importorskip("dask.array")
    import mirel.dask

    fitted, query = partial_table(5), partial_table(6)
    for params in PATHS.values():
        imputer = KNNImputer(n_neighbors=2**64, **params).fit(fitted)
        got = mirel.dask.transform(imputer, da.from_array(query, chunks=(5, 4))).compute(scheduler="sync")
        want = KNNImputer(n_neighbors=14, **params).fit(fitted).transform(query)
        assert got.tobytes() == want.tobytes()


# --- 3. the callable paths' engine entry and the straightforward pass, bit for bit ----------


def magnitudes_table(rng, rows, cols, exponent):
    x = np.ldexp(rng.normal(size=(rows, cols)), exponent)
    x[rng.random(x.shape) < 0.3] = nan
    return x


def shares_a_coordinate(a, b):
    """Whether each pair of rows of a and b holds a value in a common column (has a distance)."""
    return (~np.isnan(a)).astype(np.int64) @ (~np.isnan(b)).T.astype(np.int64) > 0


@pytest.mark.parametrize("exponent", [0, 500, 1010, -500, -1060])
@pytest.mark.parametrize("seed", range(3))
def test_callable_paths_distances_are_the_engines(exponent, seed):
    # Callable weights over the built-in metric: the distances the selection formed are the
    # engine pass's own, donor for donor.
    rng = np.random.default_rng(seed)
    fitted = magnitudes_table(rng, 30, 5, exponent)
    query = magnitudes_table(rng, 12, 5, exponent)
    donors = _query.Donors(fitted)
    rows = _query.Rows(fitted)
    cells = int((np.isnan(query) & (donors.counts() > 0)).sum())
    k = fitted.shape[0]
    index, distance = np.empty((cells, k), np.int64), np.empty((cells, k))
    donors.select(query.copy(), k, index, distance)
    got_index, got_distance, got_value = rows.select_given(query.copy(), k)
    np.testing.assert_array_equal(got_index, index)
    chosen = index >= 0
    assert got_distance[chosen].tobytes() == distance[chosen].tobytes()
    _, cols = np.nonzero(np.isnan(query) & (donors.counts() > 0))
    want_value = fitted[index[chosen], np.broadcast_to(cols[:, None], index.shape)[chosen]]
    assert got_value[chosen].tobytes() == want_value.tobytes()


@pytest.mark.parametrize("given", [False, True])
@pytest.mark.parametrize("seed", range(6))
def test_callable_paths_selections_are_the_engines(given, seed):
    # Many equal distances (small integers), rows without distances, and given distances with
    # signed zeros, infinities and NaN: the first k donors per cell, in rank order.
    rng = np.random.default_rng(seed)
    fitted = rng.integers(0, 3, size=(40, 4)).astype(np.float64)
    fitted[rng.random(fitted.shape) < 0.35] = nan
    query = rng.integers(0, 3, size=(15, 4)).astype(np.float64)
    query[rng.random(query.shape) < 0.35] = nan
    donors = _query.Donors(fitted)
    rows_of = _query.Rows(fitted)
    d = None
    if given:
        d = rng.choice([0.0, -0.0, 1.0, 2.0, np.inf, nan, -1.0], size=(15, 40), p=[0.1, 0.1, 0.1, 0.1, 0.05, 0.5, 0.05])
    cells = np.isnan(query) & (donors.counts() > 0)
    rows, cols = np.nonzero(cells)
    for k in (1, 2, 3, 7, 20, 40):
        index, distance = np.empty((rows.size, k), np.int64), np.empty((rows.size, k))
        want_query = query.copy()
        donors.select(want_query, k, index, distance, d)
        got_query = query.copy()
        got_index, got_distance, _ = rows_of.select_given(got_query, k, d)
        assert got_query.tobytes() == want_query.tobytes()  # the column means of cells without donors
        for col in np.unique(cols):
            held = np.flatnonzero(~np.isnan(fitted[:, col]))
            these = np.flatnonzero(cols == col)
            want = min(k, held.size)
            some = index[these, 0] >= 0  # the engine records no selection for the others
            np.testing.assert_array_equal(got_index[these][some, :want], index[these][some, :want])
            assert got_distance[these][some, :want].tobytes() == distance[these][some, :want].tobytes()
            assert (got_index[these][~some] == -1).all()
            assert (got_index[these][:, want:] == -1).all()


@pytest.mark.parametrize("weights", ["uniform", "distance"])
@pytest.mark.parametrize("exponent", [0, 1010, -1060])
@pytest.mark.parametrize("seed", range(3))
def test_given_distances_through_the_callable_path_and_the_engine_give_the_same_bits(weights, exponent, seed):
    # A callable metric with built-in weights: the estimator's own entry against the engine's
    # straightforward pass with the same distances (huge, tiny, zero, infinite and missing).
    rng = np.random.default_rng(seed)
    fitted = magnitudes_table(rng, 25, 4, exponent)
    query = magnitudes_table(rng, 10, 4, exponent)
    given = np.ldexp(np.abs(rng.normal(size=(10, 25))), int(rng.integers(-1074, 1020)))
    given[rng.random(given.shape) < 0.15] = nan
    given[rng.random(given.shape) < 0.1] = np.inf
    given[rng.random(given.shape) < 0.05] = 0.0
    imputer = KNNImputer(weights=weights, metric=manhattan).fit(fitted)
    for k in (1, 3, 25):
        want = query.copy()
        imputer._donors.impute(want, k, weights, given)
        got = query.copy()
        _, rows = imputer._fitted_rows()
        rows.impute_given(got, k, weights, given)
        assert got.tobytes() == want.tobytes()


def test_callable_paths_entry_checks_its_arguments():
    fitted = np.array([[1.0, 2.0], [nan, 4.0], [5.0, nan]])
    rows = _query.Rows(fitted)
    assert rows.shape == (3, 2)
    assert rows.counts().tolist() == [2, 2]
    table = rows.table()
    assert table.tobytes() == fitted.tobytes() and not table.flags.writeable and table.base is rows
    with pytest.raises(ValueError, match="WRITEABLE"):
        table.flags.writeable = True
    query = np.array([[nan, 1.0]])
    with pytest.raises(ValueError, match=r"^query has 3 columns, fitted has 2$"):
        rows.impute_given(np.full((1, 3), nan), 1, "uniform")
    with pytest.raises(ValueError, match=r"^distances must have shape \(1, 3\), not \(1, 2\)$"):
        rows.select_given(query, 1, np.zeros((1, 2)))
    with pytest.raises(ValueError, match=r"^n_neighbors must be at least 1, not 0$"):
        rows.select_given(query, 0)
    with pytest.raises(ValueError, match=r"^weights must be 'uniform' or 'distance', not 'median'$"):
        rows.impute_given(query, 1, "median")
    with pytest.raises(TypeError, match=r"^distances must hold native float64 values$"):
        rows.impute_given(query, 1, "uniform", np.zeros((1, 3), np.float32))
    shared = np.zeros((1, 5))
    with pytest.raises(ValueError, match=r"^query must not share memory with distances$"):
        rows.impute_given(shared[:, :2], 1, "uniform", shared[:, 1:4])
    with pytest.raises(ValueError, match=r"^query must be writeable$"):
        rows.impute_given(table[:1], 1, "uniform")
    # A failed call leaves the query as it was.
    assert np.isnan(query[0, 0])
    index, distance, value = rows.select_given(query, 5)  # more neighbours than fitted rows
    assert index.shape == distance.shape == value.shape == (1, 3)
    assert index.tolist() == [[0, 2, -1]] and value[0, :2].tolist() == [1.0, 5.0]


@pytest.mark.parametrize("metric", ["nan_euclidean", manhattan])
def test_callable_weights_give_the_same_bits_whatever_the_chunks(monkeypatch, metric):
    # Chunks of query rows are cut so that the selections of one stay near a bound; a weights
    # callable that works row by row sees the same rows of donors either way.
    from mirel import _callables

    rng = np.random.default_rng(41)
    fitted = magnitudes_table(rng, 60, 6, 0)
    query = magnitudes_table(rng, 40, 6, 0)
    imputer = KNNImputer(n_neighbors=10**6, weights=gaussian, metric=metric).fit(fitted)
    want = imputer.transform(query)
    calls = []

    def counted(d):
        calls.append(d.shape)
        return gaussian(d)

    for entries in (1, 500, 5000):
        monkeypatch.setattr(_callables, "_CHUNK_ENTRIES", entries)
        calls.clear()
        got = imputer.set_params(weights=counted).transform(query)
        assert got.tobytes() == want.tobytes(), entries
        assert all(shape[1] <= 60 for shape in calls) and calls


@pytest.mark.parametrize("params", [{"weights": gaussian}, {"metric": manhattan}], ids=["weights", "metric"])
def test_callable_paths_do_not_copy_the_fitted_table_per_call(params):
    # A one-row transform costs memory in proportion to one row of distances (a few numbers per
    # fitted row), not a copy of the fitted table (20 numbers per fitted row here).
    if IS_PYPY:
        pytest.skip("PyPy's tracemalloc traces nothing")
    import tracemalloc  # PyPy's standard library has the module but not its _tracemalloc

    rng = np.random.default_rng(21)
    fitted = rng.normal(size=(20_000, 20))
    fitted[rng.random(fitted.shape) < 0.1] = nan
    query = fitted[:1].copy()
    query[0, 3] = nan
    imputer = KNNImputer(**params).fit(fitted)
    want = imputer.transform(query)
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        got = imputer.transform(query)
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    assert got.tobytes() == want.tobytes()
    assert peak < fitted.nbytes / 2, peak


# --- 4. copy=False: what is returned and what happens to the caller's array -----------------


def layouts():
    base = partial_table(7)
    complete = np.nan_to_num(base, nan=0.5)
    wide = np.zeros((base.shape[0] * 2, base.shape[1] * 2))
    out = {}
    for name, x in (("missing", base), ("complete", complete)):
        out[f"C {name}"] = lambda x=x: np.array(x, order="C")
        out[f"F {name}"] = lambda x=x: np.array(x, order="F")
        out[f"float32 {name}"] = lambda x=x: x.astype(np.float32)
        out[f"float32 F {name}"] = lambda x=x: np.asfortranarray(x.astype(np.float32))
        out[f"row view {name}"] = lambda x=x: np.repeat(x, 2, axis=0)[::2]

        def col_view(x=x):
            w = wide.copy()
            w[: x.shape[0], ::2] = x
            return w[: x.shape[0], ::2]

        out[f"column view {name}"] = col_view
        out[f"read-only {name}"] = lambda x=x: _read_only(x)
        out[f"frame {name}"] = lambda x=x: pd.DataFrame(x.copy(), columns=list("abcd"))
        out[f"float32 frame {name}"] = lambda x=x: pd.DataFrame(x.astype(np.float32), columns=list("abcd"))
        out[f"int {name}"] = lambda x=x: np.nan_to_num(np.round(x * 1000) * 2, nan=-1).astype(
            np.int64
        )  # even: never -1
    return out


def _read_only(x):
    y = x.copy()
    y.flags.writeable = False
    return y


def contents(x):
    return np.array(x.to_numpy() if isinstance(x, pd.DataFrame) else x, dtype=np.float64)


LAYOUTS = layouts()


@pytest.mark.parametrize("layout", list(LAYOUTS), ids=list(LAYOUTS))
@pytest.mark.parametrize(
    "params",
    [{}, {"keep_empty_features": True}, {"add_indicator": True}, {"missing_values": -1}],
    ids=["plain", "keep-empty", "indicator", "missing=-1"],
)
@pytest.mark.parametrize("call", ["fit_transform", "transform"])
def test_copy_false_returns_and_writes_what_scikit_learn_does(layout, params, call):
    fitted = partial_table(8)
    fitted[:, 3] = nan  # an empty column: dropped unless kept
    if "missing_values" in params:
        fitted = np.nan_to_num(fitted, nan=-1)
    seen = {}
    for name, cls in (("ours", KNNImputer), ("theirs", SkKNNImputer)):
        given = LAYOUTS[layout]()
        estimator = cls(n_neighbors=3, copy=False, **params)
        if "missing_values" not in params and layout.startswith("int"):
            given = given.astype(np.float64)
        result = outcome(
            lambda e=estimator: e,
            lambda e, g=given: e.fit_transform(g) if call == "fit_transform" else e.fit(fitted).transform(g),
        )
        if result[0] != "value":
            seen[name] = (result, None, None, None)
            continue
        out = result[1]
        same = out is given
        buffer = given.to_numpy() if isinstance(given, pd.DataFrame) else given
        shares = np.shares_memory(out, buffer)
        seen[name] = (result, same, shares, contents(given))
    ours, theirs = seen["ours"], seen["theirs"]
    rtol = 1e-6 if "float32" in layout else 1e-9
    assert_same_outcome(ours[0], theirs[0], rtol)
    if ours[0][0] == "value":
        assert ours[1] == theirs[1], "result is the caller's own array"
        assert ours[2] == theirs[2], "result shares the caller's memory"
        np.testing.assert_allclose(ours[3], theirs[3], rtol=rtol, atol=rtol * 1e-3)  # the caller's array afterwards
        assert ours[0][1].dtype == theirs[0][1].dtype
        assert ours[0][1].flags.c_contiguous == theirs[0][1].flags.c_contiguous


def test_copy_false_never_hands_back_the_callers_array_when_nothing_is_imputed():
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    out = KNNImputer(n_neighbors=2, copy=False).fit_transform(a)
    assert out is not a and not np.shares_memory(out, a)
    out[0, 0] = 99.0
    assert a[0, 0] == 1.0


# --- 5. huge and tiny magnitudes ------------------------------------------------------------

HUGE = np.array([[1e160, 2e160], [1.5e160, nan], [1.2e160, 1.8e160], [1.9e160, 1.1e160]])


@pytest.mark.parametrize("weights", ["uniform", "distance", gaussian])
@pytest.mark.parametrize("exponent", [1020, 900, 540, 0, -540, -1000, -1070])
@pytest.mark.parametrize("seed", range(4))
def test_cells_stay_within_their_donors_at_every_magnitude(weights, exponent, seed):
    rng = np.random.default_rng(seed)
    x = np.ldexp(rng.normal(size=(30, 3)), exponent)
    x[rng.random(x.shape) < 0.25] = nan
    k = 4
    out = KNNImputer(n_neighbors=k, weights=weights).fit_transform(x)
    shared = shares_a_coordinate(x, x)
    for r, c in zip(*np.nonzero(np.isnan(x))):
        candidates = np.flatnonzero(~np.isnan(x[:, c]) & shared[r])
        pool = x[candidates, c] if candidates.size else x[~np.isnan(x[:, c]), c]
        assert np.isfinite(out[r, c])
        assert pool.min() <= out[r, c] <= pool.max(), (r, c)


@pytest.mark.parametrize("weights", ["uniform", "distance"])
def test_distances_that_overflow_leave_equally_far_donors_equally_weighted(weights):
    # Every squared difference overflows: all distances are +inf, tied, ranked by row index
    # (rows 0 and 2 hold the column), and weighted equally.
    got = KNNImputer(n_neighbors=2, weights=weights).fit_transform(HUGE)
    assert got[1, 1] == (2e160 + 1.8e160) / 2
    # Through the callable-metric path, the same rule in Python.
    inf_metric = KNNImputer(n_neighbors=2, weights=weights, metric=lambda a, b, missing_values=nan: np.inf)
    assert inf_metric.fit_transform(HUGE)[1, 1] == (2e160 + 1.8e160) / 2


@pytest.mark.parametrize("far", [np.inf, "inf or none"])
@pytest.mark.parametrize("seed", range(4))
def test_a_callable_metric_at_infinity_weights_its_donors_equally(far, seed):
    # Every pair at +inf (or at +inf or without a distance): 1/d is zero for every donor, so the
    # donors count as equally far: the cell gets their mean (formed without overflow), as the
    # engine's pass gives it for the same distances, never a value outside them (scikit-learn
    # gives 0.0 there).
    rng = np.random.default_rng(seed)
    fitted = rng.normal(size=(25, 3)) * 10.0 + 50.0
    fitted[rng.random(fitted.shape) < 0.3] = nan
    query = rng.normal(size=(12, 3)) * 10.0 + 50.0
    query[rng.random(query.shape) < 0.4] = nan
    given = np.full((12, 25), np.inf)
    if far != np.inf:
        given[rng.random(given.shape) < 0.3] = nan

    def metric(a, b, missing_values=nan):  # the row numbers ride in an extra, complete column
        return given[int(a[-1]), int(b[-1])]

    tagged_fit = np.column_stack([fitted, np.arange(25.0)])
    tagged_query = np.column_stack([query, np.arange(12.0)])
    for k in (1, 3, 30):
        got = KNNImputer(n_neighbors=k, weights="distance", metric=metric).fit(tagged_fit).transform(tagged_query)
        uniform = KNNImputer(n_neighbors=k, weights="uniform", metric=metric).fit(tagged_fit).transform(tagged_query)
        want = tagged_query.copy()
        _query.Donors(tagged_fit).impute(want, min(k, 25), "distance", given)
        assert got.tobytes() == want.tobytes()
        np.testing.assert_allclose(got, uniform, rtol=1e-15, atol=0)  # the mean formed without overflow
        for r, c in zip(*np.nonzero(np.isnan(query))):
            pool = fitted[~np.isnan(fitted[:, c]) & ~np.isnan(given[r]), c]
            pool = pool if pool.size else fitted[~np.isnan(fitted[:, c]), c]
            assert pool.min() <= got[r, c] <= pool.max()


@pytest.mark.parametrize("weights", ["uniform", "distance"])
@pytest.mark.parametrize("scale", [1e-150, 1e-100, 1.0, 1e100, 1e150])
def test_magnitudes_whose_squares_fit_agree_with_scikit_learn(weights, scale):
    rng = np.random.default_rng(12)
    x = rng.normal(size=(40, 4)) * scale
    x[rng.random(x.shape) < 0.2] = nan
    ours = KNNImputer(n_neighbors=3, weights=weights).fit_transform(x)
    theirs = SkKNNImputer(n_neighbors=3, weights=weights).fit_transform(x)
    np.testing.assert_allclose(ours, theirs, rtol=1e-9, atol=0)


# --- 6. the float32 column mean --------------------------------------------------------------


def test_float32_column_mean_is_summed_in_float64():
    # A receiver that shares no coordinate with any donor gets the fitted column mean: mirel
    # sums the float32 values in float64 (scikit-learn sums in float32).
    third = np.float32(1.0 / 3.0)
    fitted = np.array([[third, nan], [third, nan], [third, nan], [nan, 1.0]], dtype=np.float32)
    query = np.array([[nan, 1.0]])
    got = KNNImputer(n_neighbors=1).fit(fitted).transform(query)[0, 0]
    assert got == (float(third) + float(third) + float(third)) / 3.0
    theirs = SkKNNImputer(n_neighbors=1).fit(fitted).transform(query)[0, 0]
    assert theirs == np.ma.array(fitted[:, 0], mask=np.isnan(fitted[:, 0])).mean()
