"""KNNImputer(algorithm="ivf"): the candidate index against the exact pass.

With every list probed the engine's index is the exact pass bit for bit (every kernel, both
weights); whatever the probe, results do not depend on n_jobs, chunking, pickling or Dask; a
cell whose donors sit only in far lists is served exactly; where no index helps, fit says so
and transform is the exact pass.
"""

import pickle
import warnings

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")

from sklearn.utils._param_validation import InvalidParameterError  # noqa: E402

from mirel import _index_engine, _query  # noqa: E402
from mirel.sklearn import KNNImputer  # noqa: E402


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def mixture(rng, rows, cols, clusters=6, rate=0.05):
    centres = rng.normal(0, 8, (clusters, cols))
    x = centres[rng.integers(clusters, size=rows)] + rng.normal(size=(rows, cols))
    x[rng.random(x.shape) < rate] = np.nan
    return x


def fast_kernels():
    return [k for k in _query.kernels() if k != "reference"]


@pytest.mark.parametrize("kernel", fast_kernels())
@pytest.mark.parametrize("seed", range(4))
def test_every_list_probed_is_the_exact_pass_bit_for_bit(kernel, seed):
    rng = np.random.default_rng(seed)
    fitted = mixture(rng, 300 + 50 * seed, 1 + 2 * seed, rate=0.1 * seed)
    query = mixture(rng, 80, fitted.shape[1], rate=0.3)
    if seed == 3:
        fitted[:, 1] = np.nan  # a column without donors
        query[5] = np.nan  # a row sharing no coordinate
        fitted[7, 0], query[3, 0] = 1e300, -1e300  # overflowing distances
    donors = _query.Donors(fitted)
    index = _index_engine.Index(fitted, 1 + seed * 5, seed, kernel=kernel)
    for k in (1, 4, 1000):
        for weights in ("uniform", "distance"):
            want = query.copy()
            donors.impute(want, k, weights, kernel=kernel)
            got = query.copy()
            cells, fallback, _ = index.impute(got, 0, got.shape[0], k, weights, index.lists)
            assert np.array_equal(bits(got), bits(want)), (k, weights)
            assert fallback == 0 and cells == int(np.isnan(query[:, donors.counts() > 0]).sum())


def test_the_index_sees_one_copy_of_the_query_and_refuses_what_it_cannot_do():
    rng = np.random.default_rng(1)
    fitted = mixture(rng, 200, 4)
    index = _index_engine.Index(fitted, 5, 0)
    query = mixture(rng, 30, 4)
    part = query.copy()
    index.impute(part, 10, 20, 3, "uniform", 2)
    assert np.array_equal(bits(part[:10]), bits(query[:10])) and np.array_equal(bits(part[20:]), bits(query[20:]))
    with pytest.raises(ValueError, match=r"rows \[first, last\) are not rows of the query"):
        index.impute(query, 5, 31, 3, "uniform", 2)
    with pytest.raises(ValueError, match="probe must be at least 1, not 0"):
        index.impute(query, 0, 30, 3, "uniform", 0)
    with pytest.raises(ValueError, match="query has 3 columns, the index 4"):
        index.impute(np.zeros((2, 3)), 0, 2, 3, "uniform", 1)
    with pytest.raises(ValueError, match="weights must be 'uniform' or 'distance', not 'x'"):
        index.impute(query, 0, 30, 3, "x", 1)
    whole = query.copy()
    index.impute(whole, 0, 30, 3, "uniform", 2)
    for n_threads, chunk_rows in ((1, 0), (2, 1), (3, 7), (5, 0)):
        got = query.copy()
        index.impute_all(got, 3, "uniform", 2, n_threads, None, chunk_rows)
        assert np.array_equal(bits(got), bits(whole)), (n_threads, chunk_rows)
    with pytest.raises(ValueError, match="n_threads must be at least 1, not 0"):
        index.impute_all(query, 3, "uniform", 2, 0)
    with pytest.raises(ValueError, match="chunk_rows must be at least 0, not -1"):
        index.impute_all(query, 3, "uniform", 2, 1, None, -1)
    with pytest.raises(TypeError, match="progress must be callable or None"):
        index.impute_all(query, 3, "uniform", 2, 1, 5)
    # At most one list per 32 rows (a list's last block is partly empty).
    assert _index_engine.Index(fitted, 200, 0).lists == 200 // 32
    with pytest.raises(ValueError, match="lists must be at least 1, not 0"):
        _index_engine.Index(fitted, 0, 0)
    with pytest.raises(ValueError, match="n_threads must be at least 1, not 0"):
        _index_engine.Index(fitted, 4, 0, n_threads=0)
    centroids, lists_of_rows = index.parts()
    with pytest.raises(ValueError, match=r"centroids must have shape \(lists, fitted columns\)"):
        _index_engine.Index(fitted, 4, 0, centroids, lists_of_rows)
    with pytest.raises(ValueError, match="lists_of_rows must have one entry per fitted row"):
        _index_engine.Index(fitted, 5, 0, centroids, lists_of_rows[:-1])


@pytest.mark.parametrize("weights", ["uniform", "distance"])
def test_results_do_not_depend_on_threads_pickles_or_refits(weights):
    rng = np.random.default_rng(7)
    x = mixture(rng, 3000, 10)
    query = mixture(rng, 1500, 10)
    est = KNNImputer(algorithm="ivf", random_state=3, weights=weights).fit(x)
    assert est.index_used_ and 1 <= est.n_probe_ and est.recall_ >= 0.99 and est.recall_sample_cells_ > 0
    want = est.transform(query)
    for n_jobs in (1, 2, 3, 5):
        assert np.array_equal(bits(est.set_params(n_jobs=n_jobs).transform(query)), bits(want)), n_jobs
    again = pickle.loads(pickle.dumps(est))
    assert np.array_equal(bits(again.transform(query)), bits(want))
    refit = KNNImputer(algorithm="ivf", random_state=3, weights=weights, n_jobs=2).fit(x)
    assert (refit.n_probe_, refit.recall_) == (est.n_probe_, est.recall_)
    assert np.array_equal(bits(refit.transform(query)), bits(want))
    ft = KNNImputer(algorithm="ivf", random_state=3, weights=weights, n_jobs=4).fit_transform(x)
    assert np.array_equal(bits(ft), bits(est.transform(x)))
    # The fitted table travels once in a pickle (the index rides on the Donors object).
    assert len(pickle.dumps(est)) < x.nbytes * 1.5
    # Most cells get the exact pass's value.
    exact = KNNImputer(weights=weights).fit(x).transform(query)
    assert np.mean(exact == want) > 0.95
    # Back to the exact pass: the index and its attributes are gone.
    est.set_params(algorithm="brute").fit(x)
    assert not hasattr(est, "recall_") and not hasattr(est, "n_probe_")
    assert np.array_equal(bits(est.transform(query)), bits(exact))


def test_donors_only_in_far_lists_are_found_by_the_full_scan():
    # Two groups far apart; only the far group holds column 2: a query near the first group
    # finds no donor in its lists and is served by the full scan, exactly.
    rng = np.random.default_rng(2)
    near = np.column_stack([rng.normal(size=(400, 2)), np.full(400, np.nan)])
    far = np.column_stack([rng.normal(size=(400, 2)) + 1000, rng.normal(size=400)])
    x = np.vstack([near, far])
    query = np.column_stack([rng.normal(size=(50, 2)), np.full(50, np.nan)])
    est = KNNImputer(algorithm="ivf", n_lists=8, random_state=0).fit(x)
    index = est._index._engine
    cells, fallback, measured = index.impute(query.copy(), 0, 50, 5, "uniform", 1)
    assert cells == fallback == 50 and measured > 50 * x.shape[0]
    assert np.array_equal(bits(est.transform(query)), bits(KNNImputer().fit(x).transform(query)))


def test_absurd_neighbour_counts_run_the_exact_pass():
    rng = np.random.default_rng(9)
    x = mixture(rng, 1500, 8)
    for k in (600, 2**40):
        est = KNNImputer(algorithm="ivf", random_state=0, n_neighbors=k).fit(x)
        assert np.array_equal(bits(est.transform(x)), bits(KNNImputer(n_neighbors=k).fit(x).transform(x)))


def test_random_rows_where_no_index_helps_run_the_exact_pass_and_say_so():
    rng = np.random.default_rng(5)
    x = rng.random((2000, 40))
    x[rng.random(x.shape) < 0.1] = np.nan
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        est = KNNImputer(algorithm="ivf", random_state=0).fit(x)
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    assert not est.index_used_ and est.recall_ == 1.0
    assert any(
        m.startswith("the candidate index would measure") and m.endswith("runs the exact pass instead")
        for m in messages
    )
    assert np.array_equal(bits(est.transform(x)), bits(KNNImputer().fit(x).transform(x)))


def test_a_complete_table_measures_recall_on_rows_with_a_cell_hidden():
    rng = np.random.default_rng(6)
    x = mixture(rng, 2000, 5, rate=0.0)
    est = KNNImputer(algorithm="ivf", random_state=0).fit(x)
    assert est.recall_sample_cells_ == 1000 and est.recall_ >= 0.99
    query = mixture(rng, 200, 5)
    exact = KNNImputer().fit(x).transform(query)
    assert np.mean(exact == est.transform(query)) > 0.95


@pytest.mark.parametrize(
    "params, message",
    [
        (dict(algorithm="kd_tree"), "The 'algorithm' parameter of KNNImputer must be a str among"),
        (
            dict(recall=1.5),
            "The 'recall' parameter of KNNImputer must be a float in the range [0.0, 1.0]. Got 1.5 instead.",
        ),
        (dict(n_lists=0), "The 'n_lists' parameter of KNNImputer must be an int in the range [1, inf) or None"),
        (dict(random_state="x"), "The 'random_state' parameter of KNNImputer must be an int in the range"),
    ],
)
def test_the_parameters_are_checked_with_scikit_learns_messages(params, message):
    with pytest.raises(InvalidParameterError) as info:
        KNNImputer(**params).fit(np.zeros((3, 2)))
    assert str(info.value).startswith(message)


def test_dask_ships_the_index_with_the_estimator():
    da = pytest.importorskip("dask.array")
    import cloudpickle

    from mirel.dask import transform

    rng = np.random.default_rng(8)
    x = mixture(rng, 3000, 10)
    query = mixture(rng, 900, 10)
    est = KNNImputer(algorithm="ivf", random_state=1).fit(x)
    assert est.index_used_
    want = est.transform(query)
    lazy = transform(est, da.from_array(query, chunks=(250, 10)))
    for scheduler in ("sync", "threads"):
        assert np.array_equal(bits(lazy.compute(scheduler=scheduler)), bits(want))
    shipped = cloudpickle.loads(cloudpickle.dumps(est))  # what a worker receives
    assert shipped._index.probe == est._index.probe
    assert np.array_equal(bits(shipped.transform(query)), bits(want))


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_a_stopped_transform_writes_nothing_into_the_callers_array(n_jobs):
    rng = np.random.default_rng(10)
    x = mixture(rng, 3000, 10)
    query = mixture(rng, 3000, 10)
    seen = []

    def stop(done, total):
        seen.append(done)
        raise KeyboardInterrupt

    est = KNNImputer(algorithm="ivf", random_state=0, copy=False, n_jobs=n_jobs, progress=stop).fit(x)
    assert est.index_used_
    before = query.copy()
    with pytest.raises(KeyboardInterrupt):
        est.transform(query)
    assert seen and np.array_equal(bits(query), bits(before))
    est.set_params(progress=False).transform(query)  # then it imputes in place
    assert not np.isnan(query).any()
