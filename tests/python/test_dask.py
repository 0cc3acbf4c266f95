"""mirel.dask: both semantics, block by block, bit-identical to one process imputing the whole
table (on a LocalCluster of two worker processes, loopback only, and on the local schedulers);
the fitted state is one key of the graph; the input is checked up front; the private row-block
pass against the public transform; Dask stays optional."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

pytest.importorskip("dask", reason="mirel.dask needs dask (pip install 'mirel[dask]')")
pytest.importorskip("dask.array", reason="mirel.dask needs dask[array]")
pytest.importorskip("dask.dataframe", reason="mirel.dask needs dask[dataframe] (and pandas)")
pytest.importorskip("distributed", reason="the cluster tests need distributed")
pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")

import cloudpickle  # noqa: E402
import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import mirel  # noqa: E402
from mirel import _paired  # noqa: E402
from mirel.dask import paired_transform, transform  # noqa: E402
from mirel.sklearn import KNNImputer  # noqa: E402

TIMEOUT = 120  # seconds for any cluster computation


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def table(rng, rows, cols, rate, ties=False):
    x = rng.integers(0, 4, size=(rows, cols)).astype(np.float64) if ties else rng.normal(size=(rows, cols))
    x[rng.random((rows, cols)) < rate] = np.nan
    if rows > 2 and cols > 1:
        x[1, :] = np.nan  # a row without any value
    return x


def uneven_chunks(rng, rows):
    cuts = np.sort(rng.choice(np.arange(1, rows), size=min(5, rows - 1), replace=False))
    edges = np.concatenate([[0], cuts, [rows]])
    return tuple(int(b - a) for a, b in zip(edges[:-1], edges[1:]))


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        silence_logs=50,
    )
    c = Client(cluster, timeout=TIMEOUT)
    try:
        yield c
    finally:
        c.close(timeout=TIMEOUT)
        cluster.close(timeout=TIMEOUT)


def on_cluster(client, collection):
    return client.compute(collection).result(timeout=TIMEOUT)


# --- the scikit-learn face -----------------------------------------------------------------


@pytest.mark.parametrize("seed", range(3))
def test_sklearn_face_on_a_cluster_is_bit_identical_to_one_process(client, seed):
    rng = np.random.default_rng(seed)
    fitted = table(rng, 250, 6, 0.2, ties=seed == 1)
    fitted[:, 2] = np.nan if seed == 2 else fitted[:, 2]  # an empty fitted column
    query = table(rng, 300, 6, 0.1 + 0.15 * seed, ties=seed == 1)
    params = [
        dict(),
        dict(n_neighbors=3, weights="distance", add_indicator=True),
        dict(n_neighbors=7, keep_empty_features=True, n_jobs=2),
    ]
    for p in params:
        est = KNNImputer(**p).fit(fitted)
        want = est.transform(query)
        x = da.from_array(query, chunks=(uneven_chunks(rng, 300), (2, 4)))
        got = on_cluster(client, transform(est, x))
        assert got.shape == want.shape and got.dtype == want.dtype
        assert np.array_equal(bits(got), bits(want)), p
        frame = pd.DataFrame(query, columns=[f"c{i}" for i in range(6)], index=np.arange(300) * 3)
        est_frame = KNNImputer(**p).fit(pd.DataFrame(fitted, columns=frame.columns))
        got_frame = on_cluster(client, transform(est_frame, dd.from_pandas(frame, npartitions=4)))
        assert list(got_frame.columns) == list(est_frame.get_feature_names_out())
        assert got_frame.index.equals(frame.index)
        assert np.array_equal(bits(got_frame.to_numpy(dtype=np.float64)), bits(want))


def test_sklearn_face_keeps_float32_and_runs_on_the_local_schedulers():
    rng = np.random.default_rng(4)
    fitted = table(rng, 80, 3, 0.2).astype(np.float32)
    query = table(rng, 90, 3, 0.3).astype(np.float32)
    est = KNNImputer(n_neighbors=2).fit(fitted)
    want = est.transform(query)
    lazy = transform(est, da.from_array(query, chunks=30))
    for scheduler in ("sync", "threads"):
        got = lazy.compute(scheduler=scheduler)
        assert got.dtype == np.float32 and np.array_equal(got.view(np.uint32), want.view(np.uint32))


# --- mirel.KnnImputer's semantics -------------------------------------------------------


@pytest.mark.parametrize(
    "k, metric, weights",
    [
        (5, "nan_euclid", "uniform"),
        (2, "expected_distance", "distance"),
        (0, "nan_euclid", "distance"),
        (40, "expected_distance", "uniform"),
    ],
)
def test_paired_semantics_on_a_cluster_is_bit_identical_to_one_process(client, k, metric, weights):
    rng = np.random.default_rng(k)
    fitted = table(rng, 230, 5, 0.15, ties=k == 2)
    # X: the fitted table with its own NaN and more, and one with other values (only the NaN
    # pattern matters to the imputed cells; present cells are kept).
    for values in (fitted.copy(), rng.normal(size=fitted.shape)):
        values[rng.random(values.shape) < 0.25] = np.nan
        want = mirel.KnnImputer(k, metric, weights).fit(fitted).transform(values)
        x = da.from_array(values, chunks=(uneven_chunks(rng, 230), (3, 2)))
        got = on_cluster(client, paired_transform(fitted, x, k, metric, weights))
        assert np.array_equal(bits(got), bits(want))
        frame = pd.DataFrame(values, columns=list("abcde"), index=np.arange(230)[::-1])
        got_frame = on_cluster(
            client, paired_transform(fitted, dd.from_pandas(frame, npartitions=3, sort=False), k, metric, weights)
        )
        assert got_frame.index.equals(frame.index) and list(got_frame.columns) == list("abcde")
        assert np.array_equal(bits(got_frame.to_numpy()), bits(want))


@pytest.mark.parametrize("seed", range(4))
def test_private_row_blocks_match_the_public_transform_of_the_whole_table(seed):
    rng = np.random.default_rng(100 + seed)
    rows, cols = int(rng.integers(1, 120)), int(rng.integers(1, 7))
    fitted = table(rng, rows, cols, 0.2, ties=seed % 2 == 0)
    values = rng.normal(size=(rows, cols))
    values[rng.random(values.shape) < 0.3] = np.nan
    for metric in ("nan_euclid", "expected_distance"):
        for weights in ("uniform", "distance"):
            k = int(rng.integers(0, 9))
            want = mirel.KnnImputer(k, metric, weights).fit(fitted).transform(values)
            a = 0
            while a < rows:
                b = min(rows, a + int(rng.integers(1, 30)))
                block = values[a:b].copy()
                got = _paired.impute_rows(fitted, block, a, k, metric, weights)
                assert np.array_equal(bits(got), bits(want[a:b])), (metric, weights, k, a, b)
                assert np.array_equal(bits(block), bits(values[a:b]))  # the block itself is not written
                a = b


def test_private_row_blocks_refuse_what_they_cannot_do():
    fitted = np.ones((3, 2))
    with pytest.raises(ValueError, match=r"^block has 3 columns, fitted has 2$"):
        _paired.impute_rows(fitted, np.ones((1, 3)), 0, 1, "nan_euclid", "uniform")
    with pytest.raises(ValueError, match=r"^rows \[2, 2 \+ 2\) are not rows of the fitted table \(3 rows\)$"):
        _paired.impute_rows(fitted, np.ones((2, 2)), 2, 1, "nan_euclid", "uniform")
    with pytest.raises(ValueError, match=r"^k must lie in 0 to 4294967295, not -1$"):
        _paired.impute_rows(fitted, np.ones((1, 2)), 0, -1, "nan_euclid", "uniform")
    with pytest.raises(ValueError, match=r"^weights must be 'uniform' or 'distance', not 'x'$"):
        _paired.impute_rows(fitted, np.ones((1, 2)), 0, 1, "nan_euclid", "x")
    with pytest.raises(TypeError, match=r"^cosine is a unknown metric$"):
        _paired.impute_rows(fitted, np.ones((1, 2)), 0, 1, "cosine", "uniform")
    with pytest.raises(TypeError, match=r"^block must hold native float64 values$"):
        _paired.impute_rows(fitted, np.ones((1, 2), dtype=np.float32), 0, 1, "nan_euclid", "uniform")
    with pytest.raises(ValueError, match=r"^fitted must be C-contiguous$"):
        _paired.impute_rows(np.ones((2, 3)).T, np.ones((1, 2)), 0, 1, "nan_euclid", "uniform")


@pytest.mark.parametrize("name", ["nan_euclid", "expected_distance", "Nan_euclid", "nan_euclid ", "cosine", ""])
def test_the_metric_names_mirel_dask_checks_are_the_ones_knnimputer_knows(name):
    """mirel.dask checks the metric name up front against the engine's list: a name is on it
    exactly when mirel.KnnImputer transforms with it."""
    x = np.array([[1.0, np.nan], [2.0, 3.0], [4.0, 5.0]])
    try:
        mirel.KnnImputer(1, name, "uniform").fit(x).transform(x)
        known = True
    except TypeError as e:
        assert str(e) == f"{name} is a unknown metric"
        known = False
    assert (name in _paired.METRICS) == known
    assert _paired.METRICS == ("nan_euclid", "expected_distance")


def test_paired_transform_checks_its_input_up_front():
    fitted = np.ones((4, 3))
    x = da.ones((4, 3), chunks=2)
    with pytest.raises(ValueError, match=r"^X must have the fitted shape \(4, 3\), not \(5, 3\)$"):
        paired_transform(fitted, da.ones((5, 3), chunks=2))
    with pytest.raises(ValueError, match=r"^X must have the fitted shape \(4, 3\), not \(4, 2\)$"):
        paired_transform(fitted, da.ones((4, 2), chunks=2))
    with pytest.raises(TypeError, match=r"^X must hold float64 values, not float32$"):
        paired_transform(fitted, x.astype(np.float32))
    with pytest.raises(ValueError, match=r"^X must have the fitted shape \(4, 3\), not \(3, 3\)$"):
        paired_transform(fitted, dd.from_pandas(pd.DataFrame(np.ones((3, 3))), npartitions=2))
    with pytest.raises(TypeError, match=r"^X must be a dask.array.Array or a dask.dataframe.DataFrame, not ndarray$"):
        paired_transform(fitted, np.ones((4, 3)))
    # KnnImputer's own messages for the configuration and the fitted table
    with pytest.raises(TypeError, match=r"^cosine is a unknown metric$"):
        paired_transform(fitted, x, metric="cosine")
    with pytest.raises(BaseException, match=r"assertion failed: ALLOWED_WEIGHTS.contains\(&weights\)"):
        paired_transform(fitted, x, weights="median")
    with pytest.raises(TypeError, match="Unsupported type"):
        paired_transform([[1.0]], x)
    with pytest.raises(OverflowError):
        paired_transform(fitted, x, k=-1)


def test_sklearn_transform_checks_its_input_up_front():
    from sklearn.exceptions import NotFittedError

    est = KNNImputer().fit(np.ones((4, 3)))
    with pytest.raises(ValueError, match=r"^X has 2 features, but KNNImputer is expecting 3 features as input.$"):
        transform(est, da.ones((4, 2), chunks=2))
    with pytest.raises(NotFittedError):
        transform(KNNImputer(), da.ones((4, 3), chunks=2))
    with pytest.raises(TypeError, match=r"^imputer must be a mirel.sklearn.KNNImputer, not KnnImputer$"):
        transform(mirel.KnnImputer(), da.ones((4, 3), chunks=2))
    with pytest.raises(ValueError, match=r"^X must have 2 dimensions, not 1$"):
        transform(est, da.ones(4, chunks=2))


@pytest.mark.parametrize("semantics", ["sklearn", "paired"])
def test_the_fitted_state_is_one_key_of_the_graph(semantics):
    rng = np.random.default_rng(8)
    fitted = table(rng, 2000, 10, 0.1)  # 160 kB
    x = da.from_array(table(rng, 2000, 10, 0.2), chunks=100)  # 20 blocks
    if semantics == "sklearn":
        lazy = transform(KNNImputer().fit(fitted), x)
    else:
        lazy = paired_transform(fitted, x)
    graph = dict(lazy.__dask_graph__())
    sizes = sorted(len(cloudpickle.dumps(task)) for task in graph.values())
    # 20 blocks of the input (from_array), 20 block tasks, and the fitted state once
    assert len(graph) == 41
    assert sizes[-1] >= fitted.nbytes
    assert sizes[-2] < fitted.nbytes / 10


def test_dask_progress_bar_reports_the_work(capsys):
    from dask.diagnostics import ProgressBar

    rng = np.random.default_rng(9)
    fitted = table(rng, 50, 3, 0.2)
    x = da.from_array(table(rng, 50, 3, 0.2), chunks=10)
    with ProgressBar():
        got = paired_transform(fitted, x, k=2).compute(scheduler="sync")
    assert np.array_equal(bits(got), bits(mirel.KnnImputer(2).fit(fitted).transform(x.compute())))
    assert "100% Completed" in capsys.readouterr().out


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=TIMEOUT
    )


def test_mirel_and_mirel_sklearn_never_import_dask():
    done = run_python(
        """
        import sys
        import mirel, mirel.sklearn
        print(sorted(m for m in sys.modules if m == "dask" or m.startswith(("dask.", "distributed"))))
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


def test_mirel_dask_without_dask_names_the_extra():
    done = run_python(
        """
        import sys
        sys.modules["dask"] = None  # as if dask were not installed
        try:
            import mirel.dask
        except ImportError as exc:
            print(exc)
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == 'mirel.dask needs Dask: pip install "mirel[dask]"'


# --- chunkings that Dask makes in normal use -------------------------------------------------


def filtered(x, keep):
    """x's rows where keep holds, through boolean indexing (row chunk sizes become unknown)."""
    return x[da.from_array(keep, chunks=x.chunks[0])]


@pytest.mark.parametrize("weights", ["uniform", "distance", lambda d: 1.0 / (1.0 + d)], ids=["u", "d", "callable"])
def test_sklearn_face_takes_every_chunking_dask_makes(weights):
    rng = np.random.default_rng(31)
    fitted = table(rng, 60, 5, 0.2)
    query = table(rng, 24, 5, 0.3)
    keep = query[:, 0] > 0.3  # NaN compares False: those rows go too
    keep[:4] = False  # whole blocks filtered away below
    est = KNNImputer(n_neighbors=3, weights=weights).fit(fitted)
    arrays = {
        "empty chunks": (da.from_array(query, chunks=((2, 2, 0, 0, 20), (5,))), query),
        "single rows, single columns": (da.from_array(query, chunks=(1, 1)), query),
        "many column chunks": (da.from_array(query, chunks=((24,), (1, 2, 1, 1))), query),
        "unknown row sizes": (filtered(da.from_array(query, chunks=4), keep), query[keep]),
        "sizes computed": (filtered(da.from_array(query, chunks=4), keep).compute_chunk_sizes(), query[keep]),
        "all rows filtered": (filtered(da.from_array(query, chunks=4), np.zeros(24, bool)), query[:0]),
    }
    for name, (x, rows) in arrays.items():
        got = transform(est, x).compute(scheduler="sync")
        want = est.transform(rows) if rows.shape[0] else np.empty((0, 5))
        assert got.shape == want.shape and got.dtype == want.dtype, name
        assert np.array_equal(bits(got), bits(want)), name


@pytest.mark.parametrize(
    "dtypes",
    [
        {},
        {c: "Float64" for c in "abcd"},
        {"a": np.float32, "b": "Float32", "c": np.float64, "d": "Float64"},
        {c: np.float32 for c in "abcd"},
    ],
    ids=["float64", "nullable Float64", "mixed", "float32"],
)
def test_sklearn_face_takes_frames_the_eager_call_takes(dtypes):
    rng = np.random.default_rng(32)
    columns = list("abcd")
    fitted = pd.DataFrame(table(rng, 50, 4, 0.2), columns=columns)
    frame = pd.DataFrame(table(rng, 30, 4, 0.3), columns=columns, index=np.arange(30) * 2).astype(dtypes)
    est = KNNImputer(n_neighbors=3).fit(fitted)
    whole = dd.from_pandas(frame, npartitions=4)
    cases = {
        "as it is": (whole, frame),
        "some partitions empty": (whole.map_partitions(lambda d: d[d.index >= 40]), frame[frame.index >= 40]),
        "every partition empty": (whole.map_partitions(lambda d: d.iloc[:0]), frame.iloc[:0]),
    }
    for name, (lazy, eager) in cases.items():
        got = transform(est, lazy).compute(scheduler="sync")
        want = est.transform(eager) if len(eager) else np.empty((0, 4), dtype=got.dtypes.iloc[0])
        assert got.index.equals(eager.index), name
        assert {np.dtype(t) for t in got.dtypes} == {want.dtype}, name
        assert np.array_equal(bits(got.to_numpy(dtype=np.float64)), bits(want)), name
    # The dtype the eager call gives, even where no partition is left to show it.
    assert {np.dtype(t) for t in transform(est, whole).dtypes} == {est.transform(frame).dtype}


def test_paired_semantics_take_empty_and_single_row_blocks():
    rng = np.random.default_rng(33)
    fitted = table(rng, 20, 4, 0.2)
    values = fitted.copy()
    values[rng.random(values.shape) < 0.3] = np.nan
    want = mirel.KnnImputer(3).fit(fitted).transform(values)
    for chunks in (((5, 0, 0, 15), (2, 2)), ((0, 20), (4,)), (1, 1)):
        got = paired_transform(fitted, da.from_array(values, chunks=chunks), 3).compute(scheduler="sync")
        assert np.array_equal(bits(got), bits(want)), chunks
    # A frame whose partitions are cut so that some are empty.
    frame = pd.DataFrame(values, columns=list("abcd"))
    import dask

    cuts = [0, 5, 5, 6, 6, 20]
    pieces = [dask.delayed(frame.iloc[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]
    parts = dd.from_delayed(pieces, meta=frame.iloc[:0])
    got = paired_transform(fitted, parts, 3).compute(scheduler="sync")
    assert np.array_equal(bits(got.to_numpy()), bits(want))
    with pytest.raises(TypeError, match=r"^X must hold float64 values in every column$"):
        paired_transform(fitted, dd.from_pandas(frame.astype("Float64"), npartitions=2), 3)
