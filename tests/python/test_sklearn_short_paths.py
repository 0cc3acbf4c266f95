"""mirel.sklearn.KNNImputer's short paths for plain calls (one validation for fit_transform, plain
float tables and plain parameters not run through scikit-learn's generic checks) against
sklearn.impute.KNNImputer on inputs on both sides of every condition: the same results,
errors, warnings, fitted attributes and effect on the caller's array."""

import warnings

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")
pd = pytest.importorskip("pandas")
from sklearn.impute import KNNImputer as SkKNNImputer  # noqa: E402

from mirel.sklearn import KNNImputer  # noqa: E402

# np.matrix inputs are among the cases compared.
pytestmark = pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")

nan = np.nan


def base_table(seed=0, rows=12, cols=4):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, cols))
    x[rng.random(x.shape) < 0.25] = nan
    return x


def make_input(kind):
    """A fresh input of the given kind (each call builds a new one: calls may write into it)."""
    x = base_table()
    if kind == "float64":
        return x
    if kind == "float32":
        return x.astype(np.float32)
    if kind == "fortran":
        return np.asfortranarray(x)
    if kind == "strided":
        return np.repeat(x, 2, axis=1)[:, ::2]
    if kind == "read-only":
        x.flags.writeable = False
        return x
    if kind == "big-endian":
        return x.astype(">f8")
    if kind == "int":
        return np.nan_to_num(x * 10).astype(np.int64)
    if kind == "list":
        return x.tolist()
    if kind == "frame":
        return pd.DataFrame(x, columns=[f"c{i}" for i in range(x.shape[1])])
    if kind == "matrix":
        return np.asmatrix(x)
    if kind == "inf":
        x[2, 1] = np.inf
        return x
    if kind == "-1 marks missing":
        return np.where(np.isnan(x), -1.0, x)
    if kind == "no rows":
        return x[:0]
    if kind == "no columns":
        return x[:, :0]
    if kind == "1-D":
        return x[0]
    if kind == "3-D":
        return x[None]
    if kind == "complex":
        return x.astype(np.complex128)
    raise AssertionError(kind)


KINDS = [
    "float64",
    "float32",
    "fortran",
    "strided",
    "read-only",
    "big-endian",
    "int",
    "list",
    "frame",
    "matrix",
    "inf",
    "-1 marks missing",
    "no rows",
    "no columns",
    "1-D",
    "3-D",
    "complex",
]

PARAMS = {
    "defaults": {},
    "copy=False": {"copy": False},
    "indicator": {"add_indicator": True},
    "keep empty": {"keep_empty_features": True},
    "distance, k=3": {"weights": "distance", "n_neighbors": 3},
    "missing -1": {"missing_values": -1},
    "missing -1, copy=False": {"missing_values": -1, "copy": False},
    "numpy int k": {"n_neighbors": np.int64(2)},
    "n_neighbors=0": {"n_neighbors": 0},
    "n_neighbors=True": {"n_neighbors": True},
    "weights=None": {"weights": None},
    "bad weights": {"weights": "gaussian"},
    "bad metric": {"metric": "euclidean"},
    "copy='yes'": {"copy": "yes"},
    "numpy bool indicator": {"add_indicator": np.bool_(True)},
    "missing None": {"missing_values": None},
}


def run(make, call, data):
    """Everything a call shows: (result or (error type, message), warnings, fitted attributes,
    the caller's data afterwards)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        estimator = make()
        try:
            result = ("value", np.asarray(call(estimator, data)))
        except Exception as exc:  # noqa: BLE001 - the error is what is compared
            result = (type(exc), str(exc))
    seen = sorted((w.category.__name__, str(w.message)) for w in caught if w.category is not RuntimeWarning)
    attrs = (
        getattr(estimator, "n_features_in_", None),
        list(getattr(estimator, "feature_names_in_", [])),
        hasattr(estimator, "feature_names_in_"),
    )
    after = np.array(data, dtype=object) if not hasattr(data, "to_numpy") else data.to_numpy(dtype=object)
    return result, seen, attrs, after


def assert_same(ours, theirs, tol=1e-6):
    (r1, w1, a1, d1), (r2, w2, a2, d2) = ours, theirs
    assert r1[0] == r2[0], (r1, r2)
    if r1[0] == "value":
        assert r1[1].shape == r2[1].shape
        assert r1[1].dtype == r2[1].dtype
        np.testing.assert_allclose(r1[1].astype(np.float64), r2[1].astype(np.float64), rtol=tol, atol=tol)
    else:
        assert r1[1] == r2[1]
    assert w1 == w2
    assert a1 == a2
    # What each did to the caller's array (copy=False imputes in place where it can).
    np.testing.assert_allclose(d1.astype(np.complex128), d2.astype(np.complex128), rtol=tol, atol=tol)


def fit_transform(estimator, data):
    return estimator.fit_transform(data)


def fit_then_transform(estimator, data):
    return estimator.fit(data).transform(data)


@pytest.mark.parametrize("params", list(PARAMS.values()), ids=list(PARAMS))
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("call", [fit_transform, fit_then_transform], ids=["fit_transform", "fit+transform"])
def test_plain_and_other_inputs_behave_as_in_scikit_learn(kind, params, call):
    ours = run(lambda: KNNImputer(**params), call, make_input(kind))
    theirs = run(lambda: SkKNNImputer(**params), call, make_input(kind))
    # scikit-learn computes float32 tables in float32, mirel in float64.
    assert_same(ours, theirs, tol=1e-3 if kind == "float32" else 1e-6)


REFITS = [("frame", "float64"), ("float64", "frame"), ("float64", "float32"), ("float64", "no columns")]


@pytest.mark.parametrize(("first", "second"), REFITS, ids=[f"{a}->{b}" for a, b in REFITS])
@pytest.mark.parametrize("second_call", ["fit_transform", "transform"])
def test_a_second_call_checks_and_records_features_as_scikit_learn_does(first, second, second_call):
    # Feature names recorded by one fit are dropped by a fit on a plain table, and a transform
    # of another width or without the fitted names is refused or warned about as there.
    def call(estimator, data):
        estimator.fit(make_input(first))
        if second_call == "fit_transform":
            return estimator.fit_transform(data)
        return estimator.transform(data)

    ours = run(KNNImputer, call, make_input(second))
    theirs = run(SkKNNImputer, call, make_input(second))
    assert_same(ours, theirs)


@pytest.mark.parametrize("copy", [True, False])
def test_fit_transform_with_plain_parameters_changed_after_construction(copy):
    # Parameters set after construction (set_params) are validated at the call, not before.
    x = base_table(3)
    for value, ok in [(4, True), (-4, False), ("4", False)]:
        ours = run(lambda v=value: KNNImputer(copy=copy).set_params(n_neighbors=v), fit_transform, x.copy())
        theirs = run(lambda v=value: SkKNNImputer(copy=copy).set_params(n_neighbors=v), fit_transform, x.copy())
        assert_same(ours, theirs)
        assert (ours[0][0] == "value") is ok


def test_fit_transform_imputes_the_callers_array_only_with_copy_false():
    x = base_table(4)
    out = KNNImputer(copy=False).fit_transform(x)
    np.testing.assert_array_equal(out, x)  # imputed in place, as its result
    y = base_table(4)
    out = KNNImputer().fit_transform(y)
    assert not np.shares_memory(out, y) and np.isnan(y).any()


OWN_PARAMS = [
    ({"n_jobs": 1.5}, "n_jobs", "an instance of 'int' or None. Got 1.5 instead."),
    ({"n_jobs": "2"}, "n_jobs", "an instance of 'int' or None. Got '2' instead."),
    (
        {"progress": "yes"},
        "progress",
        "an instance of 'bool' or an instance of 'numpy.bool' or a callable. Got 'yes' instead.",
    ),
]


@pytest.mark.parametrize(("params", "name", "tail"), OWN_PARAMS)
@pytest.mark.parametrize("call", [fit_transform, fit_then_transform], ids=["fit_transform", "fit+transform"])
def test_parameters_of_its_own_are_validated_in_scikit_learn_words(params, name, tail, call):
    from sklearn.utils._param_validation import InvalidParameterError

    with pytest.raises(InvalidParameterError) as info:
        call(KNNImputer(**params), base_table())
    assert str(info.value) == f"The '{name}' parameter of KNNImputer must be {tail}"


@pytest.mark.parametrize("n_jobs", [None, 1, 2, -1])
@pytest.mark.parametrize("progress", [False, lambda done, total: None])
def test_parameters_of_its_own_in_their_plain_kinds_are_accepted(n_jobs, progress):
    x = base_table(5)
    want = SkKNNImputer().fit_transform(x)
    np.testing.assert_allclose(KNNImputer(n_jobs=n_jobs, progress=progress).fit_transform(x), want, rtol=1e-12)
