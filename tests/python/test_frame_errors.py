"""A DataFrame that does not become a float64 table is refused with the conversion's message
(naming the array that to_numpy gave, as always), and with a note on the exception that names
the columns at fault and their dtypes and says how to fix them."""

import numpy as np
import pytest

import mirel

pd = pytest.importorskip("pandas")

FIX_ONE = ". Convert it first (df.astype('float64'), or pandas.to_numeric for numbers stored as text) or drop it"
FIX_MANY = ". Convert them first (df.astype('float64'), or pandas.to_numeric for numbers stored as text) or drop them"


def expected(*columns):
    """The note for `columns`, given as (label, dtype) pairs: the dtype is pandas' own."""
    parts = [f"{label!r} ({dtype})" for label, dtype in columns[:8]]
    text = ", ".join(parts)
    if len(columns) > 8:
        text += f", and {len(columns) - 8} more"
    if len(columns) == 1:
        return "DataFrame column cannot be converted to float64: " + text + FIX_ONE
    return "DataFrame columns cannot be converted to float64: " + text + FIX_MANY


def frame_cases():
    when = pd.date_range("2020", periods=3)
    return {
        # non-numeric columns are named, the float columns beside them are not
        "text-and-datetime": (
            pd.DataFrame({"x": [1.0, 2.0, 3.0], "name": ["a", "b", "c"], "when": when}),
            ["name", "when"],
        ),
        "bool-among-floats": (pd.DataFrame({"a": [True, False, True], "b": [1.0, 2.0, 3.0]}), ["a"]),
        "object-floats": (pd.DataFrame({"a": np.array([1.0, 2.0, 3.0], dtype=object), "b": [1.0, 2.0, 3.0]}), ["a"]),
        # all numeric, but none float64: every column that is not float64 is named
        "integers-only": (pd.DataFrame({"a": [1, 2, 3], "b": [4, 5, 6]}), ["a", "b"]),
        "float32-only": (pd.DataFrame({"a": np.float32([1, 2, 3])}), ["a"]),
        "integer-labels": (pd.DataFrame({0: ["u", "v", "w"], 7: [1.0, 2.0, 3.0]}), [0]),
        "twelve-text-columns": (
            pd.DataFrame({f"c{i}": ["x", "y", "z"] for i in range(12)}),
            [f"c{i}" for i in range(12)],
        ),
    }


CASES = frame_cases()


@pytest.mark.parametrize("method", ["fit", "transform"])
@pytest.mark.parametrize("case", CASES.keys())
def test_message_names_columns_and_dtypes(case, method):
    frame, bad = CASES[case]
    imp = mirel.KnnImputer(1).fit(np.zeros((3, frame.shape[1])))
    before = imp.transform(np.full((3, frame.shape[1]), np.nan)).tobytes()
    with pytest.raises(TypeError) as info:
        getattr(imp, method)(frame)
    assert str(info.value) == old_style(frame)
    assert info.value.__notes__ == [expected(*[(label, frame.dtypes[label]) for label in bad])]
    # the failed call left the imputer as it was
    assert imp.transform(np.full((3, frame.shape[1]), np.nan)).tobytes() == before


class Boom(Exception):
    pass


def frame_with_dtypes(dtypes):
    class Odd(pd.DataFrame):
        @property
        def dtypes(self):
            return dtypes(self)

    return Odd({"t": ["a", "b"]})


def _raise(exc):
    def dtypes(frame):
        raise exc

    return dtypes


OLD_STYLE = (
    "'ndarray' object of dtype {} with 2 dimensions cannot be converted to a 2-dimensional float64 numpy.ndarray"
)


def old_style(frame):
    return OLD_STYLE.format(np.ascontiguousarray(frame.to_numpy()).dtype)


@pytest.mark.parametrize(
    "dtypes",
    [
        _raise(Boom("no dtypes")),
        _raise(MemoryError()),
        lambda f: None,
        lambda f: [1, 2, 3],
        lambda f: pd.Series(["not a dtype"], index=["t"]),
        lambda f: pd.Series([np.dtype("float64")], index=["t"]),
    ],
    ids=["raises", "memory-error", "none", "list", "no-kind", "claims-float64"],
)
def test_unreadable_or_hostile_dtypes_fall_back_to_naming_the_array(dtypes):
    frame = frame_with_dtypes(dtypes)
    dtype = np.ascontiguousarray(pd.DataFrame({"t": ["a", "b"]}).to_numpy()).dtype
    with pytest.raises(TypeError) as info:
        mirel.KnnImputer().fit(frame)
    assert str(info.value) == OLD_STYLE.format(dtype)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3)], ids=lambda e: type(e).__name__)
def test_interrupts_while_reading_dtypes_are_not_swallowed(exc):
    with pytest.raises(type(exc)) as info:
        mirel.KnnImputer().fit(frame_with_dtypes(_raise(exc)))
    assert info.value is exc


def test_long_labels_are_clipped():
    label = "n" * 100
    with pytest.raises(TypeError) as info:
        mirel.KnnImputer().fit(pd.DataFrame({label: ["a"]}))
    assert info.value.__notes__[0].startswith("DataFrame column cannot be converted to float64: '" + "n" * 59 + "... (")


def frames_of_every_dtype():
    base = np.array([[1.0, 10.0], [2.0, np.nan], [3.0, 30.0], [4.0, 40.0]])
    col = base[:, 1]
    return {
        "float16": lambda: pd.DataFrame(base.astype("float16")),
        "uint8-and-float": lambda: pd.DataFrame({"u": np.ones(4, dtype=np.uint8), "f": col.astype("float32")}),
        "complex": lambda: pd.DataFrame({"z": base[:, 0].astype(complex), "f": col}),
        "nullable-Int64": lambda: pd.DataFrame({"a": pd.array([1, None, 3, 4], dtype="Int64"), "b": col}),
        "nullable-boolean": lambda: pd.DataFrame({"a": pd.array([True, None, False, True], dtype="boolean")}),
        "datetime-tz": lambda: pd.DataFrame({"a": pd.date_range("2020", periods=4, tz="UTC"), "b": col}),
        "timedelta": lambda: pd.DataFrame({"a": pd.to_timedelta([1, 2, 3, 4], unit="s")}),
        "period": lambda: pd.DataFrame({"a": pd.period_range("2020", periods=4, freq="D"), "b": col}),
        "interval": lambda: pd.DataFrame({"a": pd.interval_range(0, 4)}),
        "categorical-text": lambda: pd.DataFrame({"a": pd.Categorical(list("abab")), "b": col}),
        "string": lambda: pd.DataFrame({"s": pd.array(list("abcd"), dtype="string"), "b": col}),
        "big-endian": lambda: pd.DataFrame(base.astype(">f8")),
    }


FRAMES = frames_of_every_dtype()


@pytest.mark.parametrize("make", FRAMES.values(), ids=FRAMES.keys())
def test_every_dtype_is_refused_naming_the_columns_at_fault_or_accepted(make):
    """Columns of a kind other than integer or float are at fault; when every column is
    numeric, the ones that are not float64. Frames that pandas itself turns into float64 are
    accepted."""
    try:
        frame = make()
        converted = np.ascontiguousarray(frame.to_numpy())
    except (TypeError, ValueError):  # a pandas that cannot build or convert this frame at all
        pytest.skip("this pandas does not hold such a frame")
    if converted.ndim == 2 and converted.dtype == np.float64:
        assert mirel.KnnImputer(1).fit(frame).transform(frame).shape == frame.shape
        return
    dtypes = list(frame.dtypes.items())
    bad = [(label, dtype) for label, dtype in dtypes if getattr(dtype, "kind", "O") not in "iuf"]
    if not bad:
        bad = [(label, dtype) for label, dtype in dtypes if str(dtype) != "float64"]
    with pytest.raises(TypeError) as info:
        mirel.KnnImputer().fit(frame)
    assert str(info.value) == old_style(frame)
    assert info.value.__notes__ == [expected(*bad)]
