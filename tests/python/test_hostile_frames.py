"""Hostile DataFrames: conversions that raise, return the wrong thing, or call back into the
imputer. Every call ends in a defined exception or a correct result, and the imputer stays usable."""

import numpy as np
import pytest

import mirel
from conftest import NAN, PanicException
from test_hostile import BASE, BASE_RESULT, UNSUPPORTED, assert_intact, assert_same_bits, bits, fitted, strided

# --- DataFrames ----------------------------------------------------------------------------

pd = pytest.importorskip("pandas")

NOT_FLOAT64 = (
    "'ndarray' object of dtype {} with {} dimension{} cannot be converted to a 2-dimensional float64 numpy.ndarray"
)


def not_float64(dtype, ndim=2):
    return NOT_FLOAT64.format(dtype, ndim, "" if ndim == 1 else "s")


ACCEPTED_FRAMES = {
    "float64": lambda: pd.DataFrame(BASE, columns=["a", "b"]),
    "int-and-float": lambda: pd.DataFrame({"a": [1, 2, 3, 4], "b": BASE[:, 1]}),
    "categorical-float": lambda: pd.DataFrame({"a": pd.Categorical(BASE[:, 0]), "b": BASE[:, 1]}),
    "sparse-float": lambda: pd.DataFrame({"a": pd.arrays.SparseArray(BASE[:, 0]), "b": BASE[:, 1]}),
    "fortran-block": lambda: pd.DataFrame(np.asfortranarray(BASE)),
    "strided-source": lambda: pd.DataFrame(strided(BASE)),
    "multiindex-columns": lambda: pd.DataFrame(BASE, columns=pd.MultiIndex.from_tuples([("x", 1), ("y", 2)])),
    "odd-index": lambda: pd.DataFrame(BASE, index=["w", "x", "y", "z"]),
}


@pytest.mark.parametrize("make", ACCEPTED_FRAMES.values(), ids=ACCEPTED_FRAMES.keys())
def test_frames_that_convert_to_float64(make):
    imp = mirel.KnnImputer(2)
    assert imp.fit(make()) is imp
    assert_same_bits(imp.transform(make()), BASE_RESULT)
    assert_same_bits(imp.transform(BASE), BASE_RESULT)


FRAMES_OF_OTHER_DTYPES = {
    "float32": lambda: pd.DataFrame(BASE, dtype="float32"),
    "float16": lambda: pd.DataFrame(BASE.astype("float16")),
    "int64": lambda: pd.DataFrame({"a": [1, 2, 3, 4], "b": [5, 6, 7, 8]}),
    "uint8": lambda: pd.DataFrame(np.ones((4, 2), dtype=np.uint8)),
    "bool": lambda: pd.DataFrame({"a": [True] * 4, "b": [False] * 4}),
    "complex": lambda: pd.DataFrame(BASE.astype(complex)),
    "text": lambda: pd.DataFrame({"a": list("abcd"), "b": BASE[:, 1]}),
    "nullable-Int64": lambda: pd.DataFrame({"a": pd.array([1, None, 3, 4], dtype="Int64"), "b": BASE[:, 1]}),
    "nullable-Float64": lambda: pd.DataFrame({"a": pd.array([1.0, None, 3.0, 4.0], dtype="Float64")}),
    "nullable-boolean": lambda: pd.DataFrame({"a": pd.array([True, None, False, True], dtype="boolean")}),
    "datetime": lambda: pd.DataFrame({"a": pd.date_range("2020", periods=4), "b": BASE[:, 1]}),
    "datetime-tz": lambda: pd.DataFrame({"a": pd.date_range("2020", periods=4, tz="UTC")}),
    "timedelta": lambda: pd.DataFrame({"a": pd.to_timedelta([1, 2, 3, 4], unit="s")}),
    "period": lambda: pd.DataFrame({"a": pd.period_range("2020", periods=4, freq="D")}),
    "interval": lambda: pd.DataFrame({"a": pd.interval_range(0, 4)}),
    "categorical-text": lambda: pd.DataFrame({"a": pd.Categorical(list("abab"))}),
    "object-floats": lambda: pd.DataFrame(BASE.astype(object)),
    "string": lambda: pd.DataFrame({"a": pd.array(list("abcd"), dtype="string")}),
}


@pytest.mark.parametrize("make", FRAMES_OF_OTHER_DTYPES.values(), ids=FRAMES_OF_OTHER_DTYPES.keys())
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_frames_of_every_dtype(make, method):
    """Refused with the conversion error unless pandas itself turns the frame into float64."""
    imp = fitted()
    frame = make()
    converted = np.ascontiguousarray(frame.to_numpy())
    if converted.ndim == 2 and converted.dtype == np.float64:
        # (pandas turns some nullable columns into float64 with NaN for NA)
        expected = mirel.KnnImputer(2).fit(converted).transform(converted)
        out = imp.fit(frame).transform(frame)
        assert_same_bits(out, expected)
        return
    with pytest.raises(TypeError) as info:
        getattr(imp, method)(frame)
    assert str(info.value) == not_float64(str(converted.dtype), converted.ndim)
    assert_intact(imp)


@pytest.mark.parametrize("method", ["fit", "transform"])
def test_big_endian_frame_is_refused_or_read_by_value(method):
    imp = fitted()
    try:
        frame = pd.DataFrame(BASE.astype(">f8"))
        array = np.ascontiguousarray(frame.to_numpy())
    except (ValueError, TypeError):  # a pandas that refuses foreign byte order itself
        pytest.skip("pandas does not hold big-endian columns")
    try:
        out = getattr(imp, method)(frame)
    except TypeError as exc:
        assert str(exc) == not_float64(str(array.dtype))
        assert_intact(imp)
        return
    if method == "fit":
        out = imp.transform(BASE)
    assert_same_bits(out, BASE_RESULT)


def test_empty_frames():
    imp = mirel.KnnImputer(2)
    assert imp.fit(pd.DataFrame()) is imp
    assert imp.transform(pd.DataFrame()).shape == (0, 0)
    no_rows = pd.DataFrame({"a": pd.Series([], dtype=float), "b": pd.Series([], dtype=float)})
    assert imp.fit(no_rows).transform(no_rows).shape == (0, 2)


# --- DataFrame subclasses with hostile to_numpy ---------------------------------------------


class Boom(Exception):
    pass


def frame_of(to_numpy, data=BASE):
    """A DataFrame subclass whose to_numpy is `to_numpy(frame)`."""

    class HostileFrame(pd.DataFrame):
        def to_numpy(self, *args, **kwargs):
            return to_numpy(self)

    # A copy: pandas 1.x builds the frame over the array itself, and a to_numpy that writes
    # into its frame would otherwise change the module's BASE for every later test.
    return HostileFrame(data.copy())


def _raise(exc):
    def to_numpy(frame):
        raise exc

    return to_numpy


@pytest.mark.parametrize(
    "exc",
    [Boom("no numbers"), ValueError("bad"), TypeError("odd type"), MemoryError(), KeyboardInterrupt()],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_to_numpy_that_raises_passes_its_exception_unchanged(exc, method):
    imp = fitted()
    with pytest.raises(type(exc)) as info:
        getattr(imp, method)(frame_of(_raise(exc)))
    assert info.value is exc
    assert_intact(imp)


NON_ARRAY_RESULTS = [
    (None, lambda: not_float64("object", 1)),
    ("abc", lambda: not_float64("<U3", 1)),
    (3.5, lambda: not_float64("float64", 1)),
    (BASE.ravel().tolist(), lambda: not_float64("float64", 1)),
    (np.zeros((2, 2, 2)), lambda: not_float64("float64", 3)),
    (np.zeros((1, 4, 2)), lambda: not_float64("float64", 3)),
    (np.zeros(8), lambda: not_float64("float64", 1)),
    (np.zeros((4, 2), dtype=np.float32), lambda: not_float64("float32")),
    (np.zeros((4, 2), dtype=object), lambda: not_float64("object")),
    ({"a": 1.0}, lambda: not_float64("object", 1)),
]


@pytest.mark.parametrize("result,message", NON_ARRAY_RESULTS, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_to_numpy_returning_no_float64_table_is_refused(result, message, method):
    imp = fitted()
    with pytest.raises(TypeError) as info:
        getattr(imp, method)(frame_of(lambda frame: result))
    assert str(info.value) == message()
    assert_intact(imp)


def test_to_numpy_returning_a_nested_list_of_floats_is_accepted():
    # numpy.ascontiguousarray turns it into a 2-D float64 array, which then converts.
    imp = mirel.KnnImputer(2)
    frame = frame_of(lambda frame: BASE.tolist())
    assert imp.fit(frame) is imp
    assert_same_bits(imp.transform(frame), BASE_RESULT)


def test_to_numpy_returning_an_object_whose_array_conversion_raises():
    class Refuses:
        def __array__(self, dtype=None, copy=None):
            raise Boom("not today")

    imp = fitted()
    with pytest.raises(Boom, match="not today"):
        imp.transform(frame_of(lambda frame: Refuses()))
    assert_intact(imp)


def test_ascontiguousarray_replaced_by_hostile_function(monkeypatch):
    imp = fitted()
    monkeypatch.setattr(np, "ascontiguousarray", lambda a: [[1.0, 2.0]])
    with pytest.raises(TypeError) as info:
        imp.transform(pd.DataFrame(BASE))
    assert str(info.value) == "'list' object cannot be converted to a 2-dimensional float64 numpy.ndarray"
    monkeypatch.setattr(np, "ascontiguousarray", _raise(Boom("replaced")))
    with pytest.raises(Boom, match="replaced"):
        imp.fit(pd.DataFrame(BASE))
    monkeypatch.undo()
    assert_intact(imp)


def test_to_numpy_that_changes_its_own_frame_while_converting():
    def to_numpy(frame):
        frame.iloc[0, 0] = 100.0
        return pd.DataFrame.to_numpy(frame)

    imp = mirel.KnnImputer(2)
    frame = frame_of(to_numpy)
    imp.fit(frame)
    changed = BASE.copy()
    changed[0, 0] = 100.0
    assert_same_bits(imp.transform(changed), mirel.KnnImputer(2).fit(changed).transform(changed))


# --- Calls back into the imputer during a call ----------------------------------------------

OTHER = np.array([[5.0, 50.0], [6.0, NAN], [7.0, 70.0], [8.0, 90.0]])
OTHER_RESULT = np.array([[5.0, 50.0], [6.0, 60.0], [7.0, 70.0], [8.0, 90.0]])


def _outcome(call):
    try:
        return ("ok", call())
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return (type(exc), str(exc))


# What a call from inside transform's conversion meets (the shared borrow is held), and from
# inside fit's conversion (no borrow is held yet).
CALLBACKS = {
    "fit": (lambda imp: imp.fit(OTHER), (PanicException, "Already borrowed: PyBorrowMutError"), "self"),
    "set-k": (lambda imp: setattr(imp, "k", 3), (RuntimeError, "Already borrowed"), None),
    "get-k": (lambda imp: imp.k, "ok-2", "ok-2"),
    "transform": (lambda imp: imp.transform(BASE), "ok-result", "ok-result"),
}


def _check(outcome, expected, imp):
    if expected == "ok-2":
        assert outcome == ("ok", 2)
    elif expected == "ok-result":
        assert outcome[0] == "ok"
        assert_same_bits(outcome[1], BASE_RESULT)
    elif expected == "self":
        assert outcome == ("ok", imp)
    elif expected is None:
        assert outcome == ("ok", None)
    else:
        assert outcome == expected


@pytest.mark.parametrize("name", CALLBACKS)
def test_to_numpy_calling_back_during_transform(name):
    callback, during_transform, _ = CALLBACKS[name]
    imp = fitted()
    seen = []

    def to_numpy(frame):
        seen.append(_outcome(lambda: callback(imp)))
        return BASE.copy()

    assert_same_bits(imp.transform(frame_of(to_numpy)), BASE_RESULT)
    assert len(seen) == 1
    _check(seen[0], during_transform, imp)
    assert_intact(imp)


@pytest.mark.parametrize("name", CALLBACKS)
def test_to_numpy_calling_back_during_fit(name):
    callback, _, during_fit = CALLBACKS[name]
    imp = fitted()
    seen = []

    def to_numpy(frame):
        seen.append(_outcome(lambda: callback(imp)))
        return BASE.copy()

    assert imp.fit(frame_of(to_numpy)) is imp
    _check(seen[0], during_fit, imp)
    # the outer fit stores last; a k set from inside stays
    assert imp.k == (3 if name == "set-k" else 2)
    imp.k = 2
    assert_intact(imp)


def test_fit_failing_inside_transform_propagates_as_panic_and_leaves_the_imputer():
    imp = fitted()

    def to_numpy(frame):
        imp.fit(OTHER)  # not caught: PanicException leaves transform
        return BASE.copy()

    with pytest.raises(PanicException) as info:
        imp.transform(frame_of(to_numpy))
    assert str(info.value) == "Already borrowed: PyBorrowMutError"
    assert_intact(imp)


@pytest.mark.parametrize("depth", [1, 5, 40])
def test_nested_transforms_release_every_borrow(depth):
    imp = fitted()
    level = [0]

    def to_numpy(frame):
        level[0] += 1
        if level[0] < depth:
            assert_same_bits(imp.transform(frame), BASE_RESULT)
        return BASE.copy()

    assert_same_bits(imp.transform(frame_of(to_numpy)), BASE_RESULT)
    assert level[0] == depth
    assert_intact(imp)


def test_unbounded_recursion_through_transform_ends_in_recursion_error():
    import sys

    imp = fitted()

    def to_numpy(frame):
        return imp.transform(frame)

    old = sys.getrecursionlimit()
    sys.setrecursionlimit(250)
    try:
        with pytest.raises(RecursionError):
            imp.transform(frame_of(to_numpy))
    finally:
        sys.setrecursionlimit(old)
    assert_intact(imp)


def test_error_deep_in_nested_transforms_unwinds_all_borrows():
    imp = fitted()
    level = [0]

    def to_numpy(frame):
        level[0] += 1
        if level[0] == 20:
            raise Boom("deep")
        return imp.transform(frame)

    with pytest.raises(Boom):
        imp.transform(frame_of(to_numpy))
    assert_intact(imp)


class _IndexCallsBack:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 4


@pytest.mark.parametrize(
    "action",
    ["fit", "transform", "set-k"],
)
def test_k_whose_index_calls_back_into_the_imputer(action):
    imp = fitted()
    calls = {
        "fit": lambda: imp.fit(OTHER),
        "transform": lambda: assert_same_bits(imp.transform(BASE), BASE_RESULT),
        "set-k": lambda: setattr(imp, "k", 7),
    }
    imp.k = _IndexCallsBack(calls[action])  # no borrow is held while k is converted
    assert imp.k == 4
    imp.k = 2
    expected = OTHER_RESULT if action == "fit" else BASE_RESULT
    assert_same_bits(imp.transform(OTHER if action == "fit" else BASE), expected)


# --- __del__ running inside a call ---------------------------------------------------------


class Doomed(np.ndarray):
    """An array whose finaliser runs `action`; the conversion drops the last reference."""

    action = None

    def __del__(self):
        if Doomed.action is not None:
            Doomed.action()


@pytest.mark.parametrize("name", CALLBACKS)
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_finaliser_calling_the_imputer_while_the_conversion_drops_it(name, method, monkeypatch):
    callback, during_transform, during_fit = CALLBACKS[name]
    imp = fitted()
    seen, unraisable = [], []
    monkeypatch.setattr("sys.unraisablehook", lambda u: unraisable.append(u.exc_value))

    def action():
        seen.append(_outcome(lambda: callback(imp)))

    monkeypatch.setattr(Doomed, "action", staticmethod(action))
    frame = frame_of(lambda f: BASE.copy().view(Doomed))
    out = getattr(imp, method)(frame)
    assert len(seen) == 1, "the finaliser ran outside the call"
    monkeypatch.setattr(Doomed, "action", None)
    if method == "transform":
        assert_same_bits(out, BASE_RESULT)
        _check(seen[0], during_transform, imp)
    else:
        assert out is imp
        _check(seen[0], during_fit, imp)
        imp.k = 2
    assert unraisable == []
    assert_intact(imp)


def test_finaliser_raising_inside_transform_is_reported_not_propagated(monkeypatch):
    imp = fitted()
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: unraisable.append(u.exc_value))

    def action():
        imp.fit(OTHER)  # PanicException escapes the finaliser

    monkeypatch.setattr(Doomed, "action", staticmethod(action))
    out = imp.transform(frame_of(lambda f: BASE.copy().view(Doomed)))
    monkeypatch.setattr(Doomed, "action", None)
    assert_same_bits(out, BASE_RESULT)
    assert [(type(e), str(e)) for e in unraisable] == [(PanicException, "Already borrowed: PyBorrowMutError")]
    assert_intact(imp)


# --- Instance-check hooks and a replaced pandas ---------------------------------------------


class Impostor:
    """Claims to be a DataFrame through __class__, which isinstance honours."""

    @property
    def __class__(self):
        return pd.DataFrame

    def to_numpy(self):
        return BASE.copy()


class ImpostorWithoutToNumpy:
    @property
    def __class__(self):
        return pd.DataFrame


class ClassLookupRaises:
    @property
    def __class__(self):
        raise Boom("who am I")


def test_object_claiming_to_be_a_frame_is_converted_like_one():
    imp = mirel.KnnImputer(2)
    assert imp.fit(Impostor()) is imp
    assert_same_bits(imp.transform(Impostor()), BASE_RESULT)


def test_claimed_frame_without_to_numpy_raises_attribute_error():
    imp = fitted()
    with pytest.raises(AttributeError, match="to_numpy"):
        imp.transform(ImpostorWithoutToNumpy())
    assert_intact(imp)


def test_instance_check_that_raises_passes_its_exception():
    imp = fitted()
    with pytest.raises(Boom, match="who am I"):
        imp.transform(ClassLookupRaises())
    assert_intact(imp)


def _fake_pandas(**attrs):
    import types

    module = types.ModuleType("pandas")
    for key, value in attrs.items():
        setattr(module, key, value)
    return module


class _CheckMeta(type):
    action = None

    def __instancecheck__(cls, obj):
        return _CheckMeta.action()


class _CheckingFrame(metaclass=_CheckMeta):
    pass


@pytest.mark.parametrize(
    "pandas_module,exc,message",
    [
        (None, ImportError, "pandas"),
        (_fake_pandas(), AttributeError, "DataFrame"),
        (_fake_pandas(DataFrame=42), TypeError, "isinstance"),
        (_fake_pandas(DataFrame=_CheckingFrame), Boom, "instance check"),
    ],
    ids=["import-fails", "no-DataFrame", "DataFrame-not-a-type", "instancecheck-raises"],
)
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_replaced_pandas_errors_pass_unchanged(pandas_module, exc, message, method, monkeypatch):
    import sys

    imp = fitted()

    def check_raises():
        raise Boom("instance check")

    monkeypatch.setattr(_CheckMeta, "action", staticmethod(check_raises))
    monkeypatch.setitem(sys.modules, "pandas", pandas_module)
    with pytest.raises(exc, match=message):
        getattr(imp, method)([[1.0]])
    # an accepted array never needs pandas
    assert_same_bits(imp.transform(BASE), BASE_RESULT)
    monkeypatch.undo()
    assert_intact(imp)


def test_instance_check_calling_back_into_the_imputer(monkeypatch):
    import sys

    imp = fitted()
    seen = []
    monkeypatch.setitem(sys.modules, "pandas", _fake_pandas(DataFrame=_CheckingFrame))

    def check():
        seen.append(_outcome(lambda: imp.fit(OTHER)))
        seen.append(_outcome(lambda: imp.transform(BASE)))
        return False

    monkeypatch.setattr(_CheckMeta, "action", staticmethod(check))
    with pytest.raises(TypeError) as info:
        imp.transform([[1.0]])
    assert str(info.value) == UNSUPPORTED.format("list")
    assert seen[0] == (PanicException, "Already borrowed: PyBorrowMutError")
    assert seen[1][0] == "ok"
    monkeypatch.undo()
    assert_intact(imp)


# --- One imputer, several threads ----------------------------------------------------------


def _slow_frame(data):
    import time

    def to_numpy(frame):
        time.sleep(0.0002)  # lets other threads run while a conversion is in progress
        return pd.DataFrame.to_numpy(frame)

    return frame_of(to_numpy, data)


def test_threads_fitting_transforming_and_setting_k_on_one_imputer():
    import sys
    import threading

    ks = (1, 2, 3)
    expected = []
    for table in (BASE, OTHER):
        for k in ks:
            expected.append(bits(mirel.KnnImputer(k).fit(table).transform(BASE)))
    imp = fitted()
    outcomes = {"transform": [], "fit": [], "set-k": [], "get-k": []}
    errors = []
    rounds = 120

    def transformer():
        for _ in range(rounds):
            outcomes["transform"].append(_outcome(lambda: imp.transform(_slow_frame(BASE))))

    def fitter(i):
        for n in range(rounds):
            table = BASE if (n + i) % 2 == 0 else OTHER
            data = _slow_frame(table) if n % 3 else table
            outcomes["fit"].append(_outcome(lambda: imp.fit(data)))

    def setter():
        for n in range(rounds * 2):
            outcomes["set-k"].append(_outcome(lambda: setattr(imp, "k", ks[n % 3])))

    def reader():
        for _ in range(rounds * 2):
            outcomes["get-k"].append(_outcome(lambda: imp.k))

    def run(target, *args):
        try:
            target(*args)
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(transformer,)) for _ in range(3)]
    threads += [threading.Thread(target=run, args=(fitter, i)) for i in range(2)]
    threads += [threading.Thread(target=run, args=(setter,)), threading.Thread(target=run, args=(reader,))]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []

    for kind, result in outcomes["transform"]:
        assert kind == "ok", result
        assert any(np.array_equal(bits(result), e) for e in expected)
    fit_kinds = {o[0] for o in outcomes["fit"]}
    for o in outcomes["fit"]:
        assert o == ("ok", imp) or o == (PanicException, "Already borrowed: PyBorrowMutError")
    for o in outcomes["set-k"]:
        assert o == ("ok", None) or o == (RuntimeError, "Already borrowed")
    for kind, value in outcomes["get-k"]:
        assert kind == "ok" and value in ks
    # the sleeps inside transform's conversion did make the calls overlap
    assert PanicException in fit_kinds
    assert (RuntimeError, "Already borrowed") in outcomes["set-k"]
    imp.k = 2
    imp.fit(BASE)
    assert_intact(imp)


# --- Objects of the module's own types, misused ----------------------------------------------


def test_class_assignment_between_layouts_is_refused():
    imp = fitted()
    slots = (type(imp).__basicsize__ - object.__basicsize__) // 8
    same_size = type("SameSize", (), {"__slots__": tuple(f"s{i}" for i in range(slots))})
    with pytest.raises(TypeError):
        imp.__class__ = same_size
    impostor = same_size()
    with pytest.raises(TypeError):
        impostor.__class__ = mirel.KnnImputer
    assert_intact(imp)


def test_result_owner_cannot_be_swapped_or_copied():
    import copy
    import pickle

    out = fitted().transform(BASE)
    owner = out.base
    for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            attempt(owner)
    with pytest.raises(TypeError):
        owner.__class__ = mirel.KnnImputer
    # an owner made from Python owns nothing and goes away quietly
    try:
        stray = type(owner)()
    except TypeError:
        pass  # the type may refuse to be instantiated from Python
    else:
        del stray
    assert_same_bits(out, BASE_RESULT)


@pytest.mark.parametrize("attempt", ["copy", "deepcopy", "pickle"])
def test_imputer_cannot_be_copied_half_way(attempt):
    import copy
    import pickle

    imp = fitted()
    call = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle": pickle.dumps}[attempt]
    with pytest.raises(TypeError):
        call(imp)
    assert_intact(imp)


def test_calling_methods_unbound_on_other_objects():
    for call in (
        lambda: mirel.KnnImputer.fit(object(), BASE),
        lambda: mirel.KnnImputer.transform(None, BASE),
        lambda: mirel.KnnImputer.k.__get__(3),
        lambda: mirel.KnnImputer.k.__set__("x", 3),
        lambda: mirel.KnnImputer.__new__(int),
    ):
        with pytest.raises(TypeError):
            call()
