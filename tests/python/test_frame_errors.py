"""A DataFrame that does not become a float64 table is refused with a message that names the
columns at fault and their dtypes, and says how to fix them."""

import numpy as np
import pytest

import mirel

pd = pytest.importorskip("pandas")

FIX_ONE = ". Convert it first (df.astype('float64'), or pandas.to_numeric for numbers stored as text) or drop it"
FIX_MANY = (". Convert them first (df.astype('float64'), or pandas.to_numeric for numbers stored as text) "
            "or drop them")


def expected(*columns):
    """The message for `columns`, given as (label, frame) pairs: the dtype is pandas' own."""
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
        "twelve-text-columns": (pd.DataFrame({f"c{i}": ["x", "y", "z"] for i in range(12)}),
                                [f"c{i}" for i in range(12)]),
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
    assert str(info.value) == expected(*[(label, frame.dtypes[label]) for label in bad])
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


OLD_STYLE = "'ndarray' object of dtype {} with 2 dimensions cannot be converted to a 2-dimensional float64 numpy.ndarray"


@pytest.mark.parametrize(
    "dtypes",
    [_raise(Boom("no dtypes")), _raise(MemoryError()), lambda f: None, lambda f: [1, 2, 3],
     lambda f: pd.Series(["not a dtype"], index=["t"]),
     lambda f: pd.Series([np.dtype("float64")], index=["t"])],
    ids=["raises", "memory-error", "none", "list", "no-kind", "claims-float64"],
)
def test_unreadable_or_hostile_dtypes_fall_back_to_naming_the_array(dtypes):
    frame = frame_with_dtypes(dtypes)
    dtype = np.ascontiguousarray(pd.DataFrame({"t": ["a", "b"]}).to_numpy()).dtype
    with pytest.raises(TypeError) as info:
        mirel.KnnImputer().fit(frame)
    assert str(info.value) == OLD_STYLE.format(dtype)


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3)], ids=lambda e: type(e).__name__)
def test_interrupts_while_reading_dtypes_are_not_swallowed(exc):
    with pytest.raises(type(exc)) as info:
        mirel.KnnImputer().fit(frame_with_dtypes(_raise(exc)))
    assert info.value is exc


def test_long_labels_are_clipped():
    label = "n" * 100
    with pytest.raises(TypeError) as info:
        mirel.KnnImputer().fit(pd.DataFrame({label: ["a"]}))
    assert str(info.value).startswith("DataFrame column cannot be converted to float64: '" + "n" * 59 + "... (")
