"""mirel.sklearn.KNNImputer on several threads: results bit-identical for every n_jobs (and
joblib context), the interpreter lock released by the pass, fit against running transforms
(it waits; re-entrance raises), pickling with the lock, progress reporting."""

import copy
import pickle
import sys
import threading
import time

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")
from joblib import parallel_config  # noqa: E402
from sklearn.base import clone  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from mirel import _query  # noqa: E402
from mirel.sklearn import KNNImputer  # noqa: E402

WAIT = 60  # seconds: a bound for every wait, so that a fault fails instead of hanging


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def table(rng, rows, cols, rate, ties):
    x = rng.integers(0, 4, size=(rows, cols)).astype(np.float64) if ties else rng.normal(size=(rows, cols))
    x[rng.random((rows, cols)) < rate] = np.nan
    return x


def quiet(done, total):
    pass


@parametrize_with_checks([KNNImputer(n_jobs=2), KNNImputer(n_jobs=-1, weights="distance", progress=quiet)])
def test_scikit_learn_estimator_checks_with_threads(estimator, check):
    check(estimator)


@pytest.mark.parametrize(("rows", "cols", "rate", "ties", "k"), [(1500, 12, 0.05, False, 5), (1200, 6, 0.3, True, 9)])
def test_fit_transform_sharing_distances_on_threads_gives_the_bits_of_one_thread(rows, cols, rate, ties, k):
    # Tables large enough that several threads run, each measuring every pair of imputed rows
    # once (the workers' selections merged at the end): the bits of one thread, which the
    # straightforward pass confirms.
    rng = np.random.default_rng(rows)
    x = table(rng, rows, cols, rate, ties)
    for weights in ("uniform", "distance"):
        want = KNNImputer(n_neighbors=k, weights=weights, n_jobs=1).fit_transform(x)
        reference = x.copy()
        _query.Donors(x).impute(reference, k, weights, kernel="reference")
        assert np.array_equal(bits(want), bits(reference)), weights
        for n_jobs in (2, 3):
            got = KNNImputer(n_neighbors=k, weights=weights, n_jobs=n_jobs).fit_transform(x)
            assert np.array_equal(bits(got), bits(want)), (weights, n_jobs)


@pytest.mark.parametrize("seed", range(6))
def test_results_are_bit_identical_for_every_n_jobs(seed):
    rng = np.random.default_rng(seed)
    ties = seed % 2 == 0
    cols = int(rng.integers(1, 9))
    fitted = table(rng, int(rng.integers(1, 400)), cols, 0.05 + 0.1 * seed, ties)
    query = table(rng, int(rng.integers(1, 700)), cols, 0.05 + 0.08 * seed, ties)
    k = int(rng.integers(1, 11))
    for weights in ("uniform", "distance"):
        want = KNNImputer(n_neighbors=k, weights=weights, n_jobs=1).fit(fitted).transform(query)
        for n_jobs in (None, 2, 3, -1, 8):
            got = KNNImputer(n_neighbors=k, weights=weights, n_jobs=n_jobs).fit(fitted).transform(query)
            assert np.array_equal(bits(got), bits(want)), (n_jobs, weights)
        with parallel_config(n_jobs=2):
            got = KNNImputer(n_neighbors=k, weights=weights).fit(fitted).transform(query)
        assert np.array_equal(bits(got), bits(want))
        # fit_transform: the distances between imputed rows shared, on one thread or several
        same = KNNImputer(n_neighbors=k, weights=weights, n_jobs=1).fit_transform(fitted)
        for n_jobs in (2, 3):
            got = KNNImputer(n_neighbors=k, weights=weights, n_jobs=n_jobs).fit_transform(fitted)
            assert np.array_equal(bits(got), bits(same)), n_jobs
        # in place (copy=False, float64 C input), and missing_values=-1 through a copy
        work = query.copy()
        KNNImputer(n_neighbors=k, weights=weights, n_jobs=3, copy=False).fit(fitted).transform(work)
        if not np.isnan(fitted).all(axis=0).any():
            assert np.array_equal(bits(work), bits(want))
        marked_fit = np.where(np.isnan(fitted), -1.0, fitted)
        marked_query = np.where(np.isnan(query), -1.0, query)
        a = KNNImputer(n_neighbors=k, weights=weights, missing_values=-1, n_jobs=1).fit(marked_fit)
        b = clone(a).set_params(n_jobs=2).fit(marked_fit)
        assert np.array_equal(bits(a.transform(marked_query)), bits(b.transform(marked_query)))


@pytest.mark.parametrize("threads", [1, 2, 5])
@pytest.mark.parametrize("chunk_rows", [0, 1, 3])
def test_private_parallel_pass_matches_the_one_thread_pass(threads, chunk_rows):
    rng = np.random.default_rng(threads * 10 + chunk_rows)
    fitted = table(rng, 300, 6, 0.2, True)
    query = table(rng, 200, 6, 0.3, True)
    donors = _query.Donors(fitted)
    for kernel in _query.kernels():
        if kernel == "reference":
            continue
        want = query.copy()
        donors.impute(want, 4, "distance", kernel="reference")
        got = query.copy()
        donors.impute_parallel(got, 4, "distance", threads, chunk_rows=chunk_rows, kernel=kernel)
        assert np.array_equal(bits(got), bits(want)), kernel


def test_private_parallel_pass_messages():
    donors = _query.Donors(np.ones((3, 2)))
    query = np.full((2, 2), np.nan)
    with pytest.raises(ValueError, match=r"^n_threads must be at least 1, not 0$"):
        donors.impute_parallel(query, 1, "uniform", 0)
    with pytest.raises(ValueError, match=r"^chunk_rows must be at least 0, not -1$"):
        donors.impute_parallel(query, 1, "uniform", 1, chunk_rows=-1)
    with pytest.raises(TypeError, match=r"^progress must be callable or None, not 'int'$"):
        donors.impute_parallel(query, 1, "uniform", 1, progress=3)
    with pytest.raises(ValueError, match=r"^impute_parallel runs a fast pass, not 'reference'$"):
        donors.impute_parallel(query, 1, "uniform", 1, kernel="reference")
    with pytest.raises(ValueError, match=r"^weights must be 'uniform' or 'distance', not 'x'$"):
        donors.impute_parallel(query, 1, "x", 1)
    assert np.isnan(query).all()  # nothing written by a refused call


@pytest.mark.parametrize("parallel", [True, False])
def test_the_parallel_pass_releases_the_interpreter_lock(parallel):
    """With a switch interval far beyond the test, a thread gives up the lock only when it
    releases it itself: the main thread runs during the pass exactly when the pass released it.
    The one-thread pass of issue 12 (impute) holds it, which makes the contrast."""
    rng = np.random.default_rng(3)
    fitted = table(rng, 4000, 8, 0.1, False)
    query = table(rng, 3000, 8, 0.3, False)
    donors = _query.Donors(fitted)
    started = threading.Event()
    box = []

    def run():
        started.set()
        if parallel:
            donors.impute_parallel(query, 5, "uniform", 1)
        else:
            donors.impute(query, 5, "uniform")
        box.append("done")

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        worker = threading.Thread(target=run)
        worker.start()
        assert started.wait(WAIT)
        ran_during_pass = not box  # the main thread got the lock back before the pass returned
        worker.join(WAIT)
    finally:
        sys.setswitchinterval(old)
    assert box == ["done"]
    assert ran_during_pass == parallel


def waiting_writers(estimator):
    return estimator._state_lock()._writers_waiting


def test_fit_waits_for_a_running_transform_which_sees_the_old_state():
    rng = np.random.default_rng(5)
    old_fit = table(rng, 500, 5, 0.2, False)
    new_fit = table(rng, 300, 5, 0.2, False)
    query = table(rng, 400, 5, 0.3, False)
    want_old = KNNImputer(n_neighbors=3).fit(old_fit).transform(query)
    want_new = KNNImputer(n_neighbors=3).fit(new_fit).transform(query)
    order = []
    fit_is_waiting = threading.Event()

    def progress(done, total):
        # Inside the pass (the read lock held): let fit start, and go on once it waits.
        if not fit_is_waiting.is_set():
            fitter.start()
            for _ in range(WAIT * 100):
                if waiting_writers(est) == 1:
                    fit_is_waiting.set()
                    break
                threading.Event().wait(0.01)

    est = KNNImputer(n_neighbors=3, n_jobs=2, progress=progress).fit(old_fit)
    fitter = threading.Thread(target=lambda: (est.fit(new_fit), order.append("fit")))
    got_old = est.transform(query)
    order.append("transform")
    fitter.join(WAIT)
    assert fit_is_waiting.is_set()
    assert order == ["transform", "fit"]
    assert np.array_equal(bits(got_old), bits(want_old))
    est.set_params(progress=False)
    assert np.array_equal(bits(est.transform(query)), bits(want_new))


def test_fit_from_inside_its_own_transform_raises_instead_of_waiting():
    x = np.array([[1.0, np.nan], [2.0, 3.0], [4.0, 5.0]])
    est = KNNImputer(n_neighbors=1)

    def metric(a, b, missing_values=np.nan):
        est.fit(x)
        return 0.0

    est.fit(x)
    before = est.transform(x)
    est.set_params(metric=metric)
    with pytest.raises(
        RuntimeError, match=r"^KNNImputer.fit was called from inside fit or transform of the same estimator$"
    ):
        est.transform(x)
    est.set_params(metric="nan_euclidean")
    assert np.array_equal(bits(est.transform(x)), bits(before))  # state and lock as before

    def progress(done, total):
        est.fit(x)

    est.set_params(progress=progress)
    with pytest.raises(RuntimeError, match=r"^KNNImputer.fit was called from inside"):
        est.transform(x)
    # transform inside transform (same thread) is allowed: readers share
    inner = []
    est.set_params(progress=lambda d, t: inner.append(KNNImputer.transform(est.set_params(progress=False), x)))
    est.transform(x)
    assert inner and np.array_equal(bits(inner[0]), bits(before))


def test_many_threads_transform_one_estimator_while_another_fits_it():
    rng = np.random.default_rng(9)
    tables = [table(rng, 200, 4, 0.2, True) for _ in range(2)]
    query = table(rng, 150, 4, 0.3, True)
    wants = [bits(KNNImputer(n_jobs=1).fit(t).transform(query)) for t in tables]
    est = KNNImputer(n_jobs=2).fit(tables[0])
    errors = []

    def transformer():
        for _ in range(15):
            got = bits(est.transform(query))
            if not any(np.array_equal(got, w) for w in wants):
                errors.append("a transform saw a mixed state")

    def fitter():
        for i in range(30):
            est.fit(tables[i % 2])

    threads = [threading.Thread(target=transformer) for _ in range(3)] + [threading.Thread(target=fitter)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


def test_pickle_copy_and_clone_leave_the_lock_behind():
    x = np.array([[1.0, np.nan], [2.0, 3.0], [4.0, 5.0]])
    est = KNNImputer(n_neighbors=2, n_jobs=2).fit(x)
    want = est.transform(x)
    assert "_lock" in est.__dict__
    for other in (pickle.loads(pickle.dumps(est)), copy.deepcopy(est)):
        assert "_lock" not in other.__dict__
        assert np.array_equal(bits(other.transform(x)), bits(want))
        assert other._state_lock() is not est._state_lock()
    assert clone(est).get_params()["n_jobs"] == 2


def test_progress_reports_rows_and_does_not_change_results():
    rng = np.random.default_rng(11)
    fitted = table(rng, 300, 6, 0.2, False)
    query = table(rng, 500, 6, 0.3, False)
    want = KNNImputer().fit(fitted).transform(query)
    seen = []
    got = KNNImputer(progress=lambda d, t: seen.append((d, t)), n_jobs=2).fit(fitted).transform(query)
    assert np.array_equal(bits(got), bits(want))
    assert seen[-1] == (500, 500)
    assert all(t == 500 and 0 <= d <= 500 for d, t in seen)
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)
    # the callable-metric path reports too
    seen.clear()
    KNNImputer(metric=lambda a, b, missing_values=np.nan: 1.0, progress=lambda d, t: seen.append((d, t))).fit(
        fitted[:20]
    ).transform(query[:30])
    assert seen[-1] == (30, 30)


def test_a_failing_progress_callback_stops_the_pass_and_leaves_the_estimator_usable():
    rng = np.random.default_rng(12)
    fitted = table(rng, 100, 3, 0.2, False)
    query = table(rng, 100, 3, 0.3, False)

    def fail(done, total):
        raise KeyError("stop")

    est = KNNImputer(progress=fail).fit(fitted)
    with pytest.raises(KeyError, match="stop"):
        est.transform(query)
    est.set_params(progress=False)
    assert np.array_equal(bits(est.transform(query)), bits(KNNImputer().fit(fitted).transform(query)))
    est.fit(query)  # the lock was released: fit does not wait


def test_progress_bar(capsys):
    pytest.importorskip("tqdm", reason="progress=True needs tqdm")
    x = np.array([[1.0, np.nan], [2.0, 3.0], [4.0, 5.0]])
    got = KNNImputer(n_neighbors=1, progress=True).fit(x).transform(x)
    assert np.array_equal(bits(got), bits(KNNImputer(n_neighbors=1).fit(x).transform(x)))
    assert "KNNImputer.transform" in capsys.readouterr().err


@pytest.mark.parametrize("bad, message", [("all", "n_jobs"), (1.5, "n_jobs"), ("yes", "progress")])
def test_parameter_validation(bad, message):
    name = message
    with pytest.raises(ValueError, match=f"The '{name}' parameter of KNNImputer must be"):
        KNNImputer(**{name: bad}).fit([[1.0, 2.0]])


def test_unpickling_from_misaligned_protocol_5_buffers():
    """Dask's distributed hands unpickled arrays over in frames at any offset: a misaligned
    fitted table is copied by Donors, not refused."""
    rng = np.random.default_rng(13)
    fitted = table(rng, 40, 3, 0.2, False)
    est = KNNImputer(n_neighbors=2).fit(fitted)
    buffers = []
    data = pickle.dumps(est, protocol=5, buffer_callback=buffers.append)
    assert buffers  # the table travels out of band
    shifted = []
    for b in buffers:
        raw = bytearray(len(b.raw()) + 1)
        raw[1:] = b.raw()
        shifted.append(memoryview(raw)[1:])
    other = pickle.loads(data, buffers=shifted)
    assert np.array_equal(bits(other.transform(fitted)), bits(est.transform(fitted)))


@pytest.mark.parametrize(
    "n_jobs, context, expected",
    [(None, None, 1), (2, None, 2), (None, 2, 2), (-1, None, "cpus")],
)
def test_the_pass_runs_on_as_many_native_threads_as_n_jobs_says(n_jobs, context, expected):
    """Counted from inside the pass: the progress callback runs on the calling thread while the
    pool works, and sees the process's threads. One thread is the calling thread itself: no
    thread is started for it."""
    psutil = pytest.importorskip("psutil", reason="counting threads needs psutil")
    from joblib import cpu_count

    rng = np.random.default_rng(14)
    fitted = table(rng, 9000, 8, 0.1, False)
    process = psutil.Process()
    seen = []
    est = KNNImputer(n_jobs=n_jobs, progress=lambda d, t: seen.append((d, process.num_threads()))).fit(fitted)
    base = process.num_threads()
    # The count needs polls (the first comes after 0.1 s) while the pool works, and a poll near
    # the end may find a worker already gone (no chunk left for it): a pass seen by fewer than
    # three polls, on a fast or a loaded machine, is run again on four times the rows.
    for rows in (9000, 36000, 144000, 576000):
        query = table(rng, rows, 8, 0.3, False)
        seen.clear()
        if context is None:
            est.transform(query)
        else:
            with parallel_config(n_jobs=context):
                est.transform(query)
        during = [n for d, n in seen if d < rows]
        if len(during) >= 3:
            break
    assert during, "no pass outlasted its first poll (0.1 s)"
    want = cpu_count() if expected == "cpus" else expected
    started = 0 if want == 1 else want
    assert max(during) == base + started
    assert seen[-1][1] == base  # the workers are joined before the last report


@pytest.fixture
def python_handles_sigint():
    """Python's own SIGINT handler for the test: a runner started as a background job inherits
    SIGINT ignored, and then Python raises no KeyboardInterrupt (interrupt_main does nothing)."""
    import signal

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_ctrl_c_stops_the_pass_and_the_workers(python_handles_sigint):
    """A SIGINT while the pool works (raised here from the progress callback, which runs on
    the main thread between polls) ends transform with KeyboardInterrupt; every worker is joined
    and the estimator serves the next call."""
    import _thread

    psutil = pytest.importorskip("psutil", reason="counting threads needs psutil")
    rng = np.random.default_rng(15)
    fitted = table(rng, 3000, 6, 0.1, False)
    query = table(rng, 3000, 6, 0.3, False)
    want = KNNImputer(n_jobs=1).fit(fitted).transform(query)
    est = KNNImputer(n_jobs=2, progress=lambda d, t: _thread.interrupt_main()).fit(fitted)
    base = psutil.Process().num_threads()
    with pytest.raises(KeyboardInterrupt):
        est.transform(query)
    assert psutil.Process().num_threads() == base
    est.set_params(progress=False)
    assert np.array_equal(bits(est.transform(query)), bits(want))


def inverse_distance(d):
    return 1.0 / (1.0 + d)


@pytest.mark.parametrize("weights", ["uniform", inverse_distance])
def test_pickles_taken_while_another_thread_fits_hold_one_fitted_state(weights):
    # Two fits of different widths and names: a pickle that mixed them would refuse both.
    rng = np.random.default_rng(13)
    tables = [table(rng, 120, 3, 0.2, False), table(rng, 90, 5, 0.2, False)]
    queries = [table(rng, 20, t.shape[1], 0.3, False) for t in tables]
    wants = [bits(KNNImputer(n_neighbors=3, weights=weights).fit(t).transform(q)) for t, q in zip(tables, queries)]
    est = KNNImputer(n_neighbors=3, weights=weights).fit(tables[0])
    stop = threading.Event()
    fits = [0]

    def fitter():
        while not stop.is_set():
            fits[0] += 1
            est.fit(tables[fits[0] % 2])

    def check(other):
        width = other.n_features_in_
        assert other._donors.shape[1] == width and other._valid_mask.shape == (width,)
        which = 0 if width == 3 else 1
        assert np.array_equal(bits(other.transform(queries[which])), wants[which])
        return which

    thread = threading.Thread(target=fitter)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # the interpreter switches threads between almost any two steps
    thread.start()
    seen, names, deadline = set(), set(), time.monotonic() + WAIT
    try:
        # Run until both fitted states were copied (and at least a few hundred fits happened):
        # how many fits one copy takes depends on the scheduler, so a fit count alone may
        # end the loop before the second state is ever seen.
        while time.monotonic() < deadline and (seen != {0, 1} or fits[0] < 600):
            seen.add(check(pickle.loads(pickle.dumps(est))))
            seen.add(check(copy.deepcopy(est)))
            names.add(tuple(est.get_feature_names_out()))
    finally:
        stop.set()
        thread.join(WAIT)
        sys.setswitchinterval(interval)
    assert not thread.is_alive()
    assert seen == {0, 1}
    assert names <= {("x0", "x1", "x2"), ("x0", "x1", "x2", "x3", "x4")}


def test_callables_set_after_fit_keep_one_row_copy_shared_by_threads():
    rng = np.random.default_rng(17)
    fitted, query = table(rng, 300, 4, 0.2, False), table(rng, 60, 4, 0.3, False)
    want = bits(KNNImputer(weights=inverse_distance).fit(fitted).transform(query))
    est = KNNImputer().fit(fitted)
    assert "_rows" not in est.__dict__  # built-in weights and metric: no row-major copy
    est.set_params(weights=inverse_distance)
    results, errors = [], []

    def run():
        try:
            results.append(bits(est.transform(query)))
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT)
    assert errors == [] and len(results) == 4
    assert all(np.array_equal(r, want) for r in results)
    rows = est.__dict__["_rows"]
    est.transform(query)
    assert est.__dict__["_rows"] is rows  # built once, then reused
    assert not rows[0].flags.writeable
    state = est.__getstate__()
    assert "_rows" not in state and "_lock" not in state  # pickles carry the Donors only
    again = pickle.loads(pickle.dumps(est))
    assert np.array_equal(bits(again.transform(query)), want)
    est.fit(fitted)  # a refit drops the copy and, with a callable configured, builds it anew
    assert est.__dict__["_rows"] is not rows
