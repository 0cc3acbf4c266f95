"""mirel.sklearn.MixedImputer against a plain Python model of its rules (mixed_reference.py),
on random mixed tables; dtypes kept; errors; scikit-learn's conventions."""

import math
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")

from mixed_reference import decode, model  # noqa: E402
from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.pipeline import Pipeline  # noqa: E402

from mirel import _gower  # noqa: E402
from mirel.sklearn import MixedImputer  # noqa: E402


def random_table(rng, rows, missing):
    """A mixed table: every dtype MixedImputer takes, small values (many ties), a constant
    column, and, at random, an all-missing column and all-missing rows."""

    def holes(values, dtype=None):
        s = pd.Series(values, dtype=dtype)
        s[rng.random(rows) < missing] = None
        return s

    levels = ["a", "b", "c", "d"]
    df = pd.DataFrame(
        {
            "x": holes(rng.integers(0, 4, rows) * 0.5, "float64"),
            "y": holes(rng.normal(size=rows), "float64"),
            "n": holes(rng.integers(-3, 4, rows), "Int64"),
            "f": holes(rng.integers(0, 3, rows) / 4, "Float64"),
            "i": pd.Series(rng.integers(0, 5, rows), dtype="int64"),
            "k": holes([2.5] * rows, "float64"),
            "t": holes(rng.integers(0, 3, rows) * 1e-310, "float64"),
            "c": holes(pd.Categorical(rng.choice(levels[:3], rows), categories=levels)),
            "o": holes(
                pd.Categorical(rng.choice(["lo", "mid", "hi"], rows), categories=["lo", "mid", "hi"], ordered=True)
            ),
            "o1": holes(pd.Categorical(["one"] * rows, categories=["one"], ordered=True)),
            "b": holes(rng.random(rows) < 0.5, "boolean"),
            "bb": pd.Series(rng.random(rows) < 0.3),
            "s": holes(rng.choice(["u", "v", "w"], rows).tolist(), "string"),
        }
    )
    if rng.random() < 0.3:
        df["y"] = pd.Series([None] * rows, dtype="float64")
    if rng.random() < 0.5:
        for r in rng.choice(rows, 2, replace=False):
            for c in ["x", "y", "n", "f", "k", "c", "o", "o1", "b", "s"]:
                df.loc[r, c] = None
    return df


def same_cells(out, expected, name):
    """Column `name` of the estimator's result against the model's values, bit for bit."""
    got = out[name].tolist()
    for r, (g, e) in enumerate(zip(got, expected)):
        if e is None:
            assert g is None or g is pd.NA or (isinstance(g, float) and math.isnan(g)), (name, r, g)
        elif isinstance(e, float):
            assert np.float64(g).tobytes() == np.float64(e).tobytes(), (name, r, g, e)
        else:
            assert g == e, (name, r, g, e)


CONFIGS = [
    {"n_neighbors": 1},
    {"n_neighbors": 2},
    {"n_neighbors": 3, "numeric": "mean"},
    {"n_neighbors": 4, "numeric": "distance", "weighted_votes": True},
    {"n_neighbors": 50},
    {"n_neighbors": 3, "weights": [0.5, 1, 2, 0, 1, 1, 2, 3, 1, 1, 0.25, 1, 1]},
    {"n_neighbors": 2, "dist_var": ["x", "c", "o", "b"]},
    {"n_neighbors": 3, "row_max_missing": 0.3},
]


@pytest.mark.parametrize("config", CONFIGS)
@pytest.mark.parametrize("seed", range(6))
def test_against_the_model(config, seed):
    rng = np.random.default_rng(seed)
    fit_df = random_table(rng, int(rng.integers(1, 40)), rng.choice([0.0, 0.1, 0.3, 0.6]))
    query_df = random_table(rng, 15, 0.3)
    # The query's strings must be levels seen in fit (the unseen rule is tested below).
    seen = set(fit_df["s"].dropna())
    query_df["s"] = query_df["s"].where(query_df["s"].isin(seen), None)
    imp = MixedImputer(**config).fit(fit_df)
    for query in (fit_df, query_df):
        out = imp.transform(query)
        model_args = {k: v for k, v in config.items() if k != "n_neighbors"}
        expected = decode(model(fit_df, query, config["n_neighbors"], **model_args), fit_df, query)
        for name in query.columns:
            same_cells(out, expected[name], name)
        assert list(out.dtypes) == list(query.dtypes)


@pytest.mark.parametrize("seed", range(4))
def test_every_kernel_and_thread_count(seed):
    rng = np.random.default_rng(100 + seed)
    # Enough fitted rows for several blocks and groups.
    fit_df = random_table(rng, 700, 0.2)
    imp = MixedImputer(n_neighbors=int(rng.integers(1, 8)), numeric=["median", "mean", "distance"][seed % 3])
    imp.fit(fit_df)
    cells = imp._encode(fit_df)
    reference = _gower.impute(imp._donors, cells, 1, reference=True)
    expected = np.array(model(fit_df, fit_df.iloc[:40], imp.n_neighbors, numeric=imp.numeric))
    assert expected.tobytes() == reference[:40].tobytes()
    for kernel in _gower.kernels():
        for threads in range(1, 6):
            for group_rows in (0, 1, 7):
                for chunk_rows in (0, 3):
                    got = _gower.impute(
                        imp._donors, cells, threads, kernel, group_rows=group_rows, chunk_rows=chunk_rows
                    )
                    assert got.tobytes() == reference.tobytes(), (kernel, threads, group_rows, chunk_rows)


def test_summaries_and_column_caps():
    df = pd.DataFrame(
        {
            "x": [1.0, 2.0, np.nan, 4.0, np.nan, np.nan],
            "n": pd.array([1, 2, 3, 4, None, None], dtype="Int64"),
            "c": pd.Categorical(["b", "a", "b", "a", None, "c"]),
        }
    )
    with pytest.raises(ValueError, match=r"columns 'x' have more than col_max_missing=0\.4 of their cells missing"):
        MixedImputer(col_max_missing=0.4).fit(df)
    out = MixedImputer(n_neighbors=1, col_max_missing=0.4, on_col_max="summary").fit_transform(df)
    assert out["x"].tolist() == [1.0, 2.0, 2.0, 4.0, 2.0, 2.0]  # the median of 1, 2, 4
    expected = decode(model(df, df, 1, summary_columns=("x",)), df, df)
    for name in df.columns:
        same_cells(out, expected[name], name)
    # The most frequent level, ties to the first level; the integral median is the lower middle.
    assert list(_gower.summaries(MixedImputer().fit(df)._donors)) == [2.0, 2.0, 0.0]


def test_round_trip_of_dtypes_and_index():
    df = pd.DataFrame(
        {
            "x": pd.Series([1.0, np.nan, 3.0, 4.0], dtype="float32"),
            "n": pd.array([1, None, 3, 4], dtype="Int64"),
            "u": pd.array([1, 2, None, 4], dtype="UInt8"),
            "f": pd.array([0.5, None, 1.5, 2.0], dtype="Float64"),
            "c": pd.Categorical(["a", None, "b", "a"], categories=["a", "b", "z"]),
            "o": pd.Categorical(["lo", "hi", None, "lo"], categories=["lo", "hi"], ordered=True),
            "b": pd.array([True, None, False, True], dtype="boolean"),
            "bb": [True, False, True, True],
            "s": pd.array(["p", "q", None, "p"], dtype="string"),
            "t": pd.Series(["p", None, "q", "p"], dtype="str"),
        }
    ).set_axis(pd.Index([10, 20, 30, 40], name="id"))
    out = MixedImputer(n_neighbors=2).fit_transform(df)
    assert list(out.dtypes) == list(df.dtypes)
    assert out.index.equals(df.index) and list(out.columns) == list(df.columns)
    assert list(out["c"].cat.categories) == ["a", "b", "z"] and out["o"].cat.ordered
    assert not out.isna().any().any()
    observed = df.notna()
    for name in df.columns:
        assert out[name][observed[name]].tolist() == df[name][observed[name]].tolist()


@pytest.mark.parametrize(
    ("column", "dtype"),
    [(pd.Series(["a", 1], dtype=object), "object"), (pd.Series(pd.to_datetime(["2020-01-01", None])), "datetime64")],
)
def test_unsupported_dtype_names_the_column(column, dtype):
    df = pd.DataFrame({"ok": [1.0, 2.0], "bad": column})
    with pytest.raises(
        TypeError, match=rf"column 'bad' has dtype {dtype}.*, which MixedImputer does not take: convert"
    ):
        MixedImputer().fit(df)


def test_errors():
    df = pd.DataFrame({"x": [1.0, np.nan, 3.0], "c": pd.Categorical(["a", "b", None])})
    with pytest.raises(ValueError, match=r"^weights has 3 values, the table has 2 columns$"):
        MixedImputer(weights=[1, 2, 3]).fit(df)
    with pytest.raises(ValueError, match=r"^weights must be finite and at least 0$"):
        MixedImputer(weights=[1, -1]).fit(df)
    with pytest.raises(ValueError, match=r"^dist_var names 'z', which is not a column of the table$"):
        MixedImputer(dist_var=["z"]).fit(df)
    imp = MixedImputer().fit(df)
    unseen = pd.DataFrame({"x": [1.0], "c": pd.Categorical(["q"])})
    with pytest.raises(ValueError, match=r"^column 'c' holds 'q', a category not seen in fit: refit"):
        imp.transform(unseen)
    with pytest.raises(ValueError, match=r"^column 'c' was nominal in fit and is numeric here"):
        imp.transform(pd.DataFrame({"x": [1.0], "c": [1.0]}))
    with pytest.raises(ValueError, match=r"columns of X are not those seen in fit"):
        imp.transform(pd.DataFrame({"c": pd.Categorical(["a"]), "x": [1.0]}))
    with pytest.raises(ValueError, match=r"^column 'x' holds an infinite value$"):
        MixedImputer().fit(pd.DataFrame({"x": [1.0, np.inf]}))
    with pytest.raises(ValueError, match=r"^column 'x' spans more than float64 holds \(its range overflows\)$"):
        MixedImputer().fit(pd.DataFrame({"x": [-1e308, 1e308]}))
    with pytest.raises(ValueError, match=r"^column 'n' holds integers beyond 2\*\*53"):
        MixedImputer().fit(pd.DataFrame({"n": pd.array([2**60, None], dtype="Int64")}))
    with pytest.raises(TypeError, match=r"not a numeric table: pass a pandas DataFrame"):
        MixedImputer().fit(np.array([["a", "b"]]))


def test_scikit_learn_conventions():
    rng = np.random.default_rng(7)
    df = random_table(rng, 30, 0.2)
    imp = MixedImputer(n_neighbors=3, n_jobs=2)
    expected = imp.fit_transform(df)
    assert clone(imp).get_params() == imp.get_params()
    again = pickle.loads(pickle.dumps(imp))
    pd.testing.assert_frame_equal(again.transform(df), expected)
    assert list(imp.get_feature_names_out()) == list(df.columns)
    pd.testing.assert_frame_equal(Pipeline([("impute", MixedImputer(n_neighbors=3))]).fit_transform(df), expected)
    imp_pd = MixedImputer(n_neighbors=3).set_output(transform="pandas")
    pd.testing.assert_frame_equal(imp_pd.fit_transform(df), expected)
    ct = ColumnTransformer([("mixed", MixedImputer(n_neighbors=3), list(df.columns))]).set_output(transform="pandas")
    got = ct.fit_transform(df)
    assert list(got.columns) == ["mixed__" + c for c in df.columns]
    # Across threads and progress reports: the same cells.
    calls = []
    par = MixedImputer(n_neighbors=3, n_jobs=3, progress=lambda d, t: calls.append((d, t))).fit_transform(df)
    pd.testing.assert_frame_equal(par, expected)
    assert calls and calls[-1][0] == calls[-1][1]


def test_numpy_input_is_numeric():
    X = np.array([[1.0, np.nan, 3.0], [2.0, 2.0, np.nan], [np.nan, 4.0, 1.0], [0.0, 1.0, 1.0]])
    out = MixedImputer(n_neighbors=2).fit_transform(X)
    assert isinstance(out, np.ndarray) and out.dtype == np.float64 and not np.isnan(out).any()
    df = pd.DataFrame(X)
    expected = np.array(model(df, df, 2), dtype=np.float64)
    assert out.tobytes() == expected.tobytes()


def test_dask_partitions_and_blocks_give_the_same_bits():
    dd = pytest.importorskip("dask.dataframe")
    da = pytest.importorskip("dask.array")
    import mirel.dask

    rng = np.random.default_rng(11)
    df = random_table(rng, 60, 0.2)
    imp = MixedImputer(n_neighbors=3, n_jobs=2).fit(df)
    got = mirel.dask.transform(imp, dd.from_pandas(df, npartitions=4)).compute(scheduler="sync")
    pd.testing.assert_frame_equal(got, imp.transform(df))
    X = rng.normal(size=(50, 4))
    X[rng.random(X.shape) < 0.2] = np.nan
    num = MixedImputer(n_neighbors=2).fit(X)
    blocks = mirel.dask.transform(num, da.from_array(X, chunks=(7, 2))).compute(scheduler="sync")
    assert blocks.tobytes() == num.transform(X).tobytes()


def test_a_failed_fit_leaves_the_fitted_state():
    df = pd.DataFrame({"x": [1.0, np.nan, 3.0], "c": pd.Categorical(["a", "b", None])})
    imp = MixedImputer(n_neighbors=1).fit(df)
    before = imp.transform(df)
    with pytest.raises(TypeError, match="column 'z'"):
        imp.fit(pd.DataFrame({"z": pd.Series(["a"], dtype=object)}))
    with pytest.raises(ValueError, match="weights has 2 values"):
        imp.set_params(weights=[1, 2]).fit(pd.DataFrame({"y": [1.0, np.nan, 2.0]}))
    pd.testing.assert_frame_equal(imp.set_params(weights=None).transform(df), before)


class Stop(Exception):
    pass


@pytest.mark.parametrize("threads", [1, 2])
def test_progress_of_the_engine_pass_and_its_failures(threads):
    rng = np.random.default_rng(21)
    df = random_table(rng, 400, 0.2)
    imp = MixedImputer(n_neighbors=3).fit(df)
    cells = imp._encode(df)
    expected = _gower.impute(imp._donors, cells, 1, reference=True)
    calls = []
    got = _gower.impute(imp._donors, cells, threads, progress=lambda d, t: calls.append((d, t)))
    assert got.tobytes() == expected.tobytes()
    assert calls[-1] == (400, 400) and all(t == 400 for _, t in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    calls.clear()
    _gower.impute(imp._donors, cells, threads, reference=True, progress=lambda d, t: calls.append((d, t)))
    assert calls == [(400, 400)]

    def stop(done, total):
        raise Stop

    with pytest.raises(Stop):
        _gower.impute(imp._donors, cells, threads, progress=stop)
    with pytest.raises(Stop):
        MixedImputer(n_neighbors=3, n_jobs=threads, progress=stop).fit(df).transform(df)
    with pytest.raises(TypeError, match=r"^progress must be callable or None, not 'int'$"):
        _gower.impute(imp._donors, cells, threads, progress=3)
    with pytest.raises(ValueError, match=r"^chunk_rows must be at least 0, not -1$"):
        _gower.impute(imp._donors, cells, threads, chunk_rows=-1)
    # The donors are as they were; any thread count is capped by the driver.
    assert _gower.impute(imp._donors, cells, threads, progress=None).tobytes() == expected.tobytes()
    assert _gower.impute(imp._donors, cells, 2**62, group_rows=1).tobytes() == expected.tobytes()


INTERRUPT = """
import signal
import numpy as np
import pandas as pd
from mirel.sklearn import MixedImputer

class Tick(Exception):
    pass

def tick(*_):
    raise Tick

rng = np.random.default_rng(3)
rows = 60_000
df = pd.DataFrame({{
    "x": rng.normal(size=rows),
    "c": pd.Categorical(rng.integers(0, 5, rows)),
    "o": pd.Categorical(rng.integers(0, 4, rows), ordered=True),
}})
df.loc[rng.random(rows) < 0.3, "x"] = np.nan
imp = MixedImputer(n_neighbors=5, n_jobs={threads}).fit(df)
small = df.iloc[:20]
want = MixedImputer(n_neighbors=5).fit(df).transform(small)
signal.signal(signal.SIGALRM, tick)
signal.setitimer(signal.ITIMER_REAL, 0.3)
try:
    imp.transform(df)
except Tick:
    pass
else:
    raise SystemExit("the pass ended before the handler raised")
pd.testing.assert_frame_equal(imp.transform(small), want)
print("ok")
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_a_raising_signal_handler_stops_transform(threads):
    # In a child with a timeout: a pass that missed the signal would run on.
    script = textwrap.dedent(INTERRUPT.format(threads=threads))
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the script hung: {exc.stdout!r} {exc.stderr!r}")
    assert done.returncode == 0 and done.stdout.strip().endswith("ok"), (done.stdout, done.stderr)
