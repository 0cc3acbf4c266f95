"""Hostile inputs: every call ends in a defined exception or a correct result, and the imputer
stays usable and unchanged by every failed call."""

import numpy as np
import pytest

import mirel
from conftest import HAS_PANDAS, NAN, PanicException

# The refusal names the type only when pandas imports; without it every non-array gets
# pandas' ImportError instead.
needs_pandas = pytest.mark.skipif(not HAS_PANDAS, reason="the refusal message needs pandas")

UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame"

# The 4 x 2 table whose row 1 misses its second cell; with k = 2 it becomes 20.0.
BASE = np.array([[1.0, 10.0], [2.0, NAN], [3.0, 30.0], [4.0, 40.0]])
BASE_RESULT = np.array([[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]])


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_same_bits(actual, expected):
    assert isinstance(actual, np.ndarray) and actual.dtype == np.float64
    assert actual.shape == np.shape(expected)
    np.testing.assert_array_equal(bits(actual), bits(expected))


def fitted(k=2):
    return mirel.KnnImputer(k).fit(BASE)


def assert_intact(imp, k=2):
    """The imputer still holds BASE and k, and no borrow is left behind."""
    assert imp.k == k
    assert_same_bits(imp.transform(BASE), BASE_RESULT)
    imp.k = k  # an exclusive borrow: fails if a shared borrow leaked
    assert imp.fit(BASE) is imp


# --- Types whose qualified name cannot be had ---------------------------------------------


class _NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


class Nameless(metaclass=_NamelessMeta):
    pass


class _StrRaises:
    def __str__(self):
        raise ValueError("cannot print")


class _OddNameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return _StrRaises()
        return super().__getattribute__(name)


class OddName(metaclass=_OddNameMeta):
    pass


@needs_pandas
@pytest.mark.parametrize("obj", [Nameless(), OddName()], ids=["lookup-raises", "str-raises"])
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_type_without_a_qualified_name_is_called_unknown(obj, method):
    imp = fitted()
    with pytest.raises(TypeError) as info:
        getattr(imp, method)(obj)
    assert str(info.value) == UNSUPPORTED.format("unknown")
    assert info.value.__context__ is None  # the failed lookup left no trace
    assert_intact(imp)


@pytest.mark.parametrize("param", ["metric", "weights"])
def test_string_parameter_of_a_nameless_type(param):
    with pytest.raises(TypeError) as info:
        mirel.KnnImputer(**{param: Nameless()})
    assert str(info.value) == f"argument '{param}': 'unknown' object is not an instance of 'str'"


# --- Objects that are no table -------------------------------------------------------------


class WithArrayProtocol:
    """Offers its data through NumPy's protocols; still not an ndarray."""

    def __array__(self, dtype=None, copy=None):
        return BASE.copy()

    @property
    def __array_interface__(self):
        return BASE.__array_interface__


class Outer:
    class Inner:
        pass


def _generator():
    yield [1.0, 2.0]


NOT_TABLES = [
    ([[1.0, 10.0], [2.0, NAN]], "list"),
    ([[[1.0]]], "list"),
    ([], "list"),
    (((1.0, 2.0),), "tuple"),
    ("1.0,2.0", "str"),
    ("", "str"),
    (b"\x00" * 64, "bytes"),
    (bytearray(64), "bytearray"),
    (memoryview(BASE), "memoryview"),
    ({"a": [1.0]}, "dict"),
    ({1.0}, "set"),
    (None, "NoneType"),
    (1.0, "float"),
    (7, "int"),
    (True, "bool"),
    (np.float64(1.0), "float64"),
    (_generator(), "generator"),
    (WithArrayProtocol(), "WithArrayProtocol"),
    (Outer.Inner(), "Outer.Inner"),
    (mirel.KnnImputer(), "KnnImputer"),
    (object(), "object"),
    (type, "type"),
]


@needs_pandas
@pytest.mark.parametrize("data,name", NOT_TABLES, ids=[n for _, n in NOT_TABLES])
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_objects_that_are_no_table_are_refused_by_type_name(data, name, method):
    imp = fitted()
    with pytest.raises(TypeError) as info:
        getattr(imp, method)(data)
    assert str(info.value) == UNSUPPORTED.format(name)
    assert_intact(imp)


def test_pandas_series_is_refused():
    pd = pytest.importorskip("pandas")
    imp = fitted()
    for method in ("fit", "transform"):
        with pytest.raises(TypeError) as info:
            getattr(imp, method)(pd.Series([1.0, NAN]))
        assert str(info.value) == UNSUPPORTED.format("Series")
    assert_intact(imp)


# --- Arrays of every dtype and dimension count ---------------------------------------------


def _known_dtypes(codes):
    # 'n' and 'N' (intp, uintp) are type codes of NumPy 2; NumPy 1.x (Debian's armhf NumPy 1.24)
    # does not know them.
    known = []
    for code in codes:
        try:
            known.append(np.dtype(code))
        except TypeError:
            pass
    return known


OTHER_DTYPES = (
    # Long double is left out where it is the 8-byte double (32-bit ARM): NumPy reports it
    # equivalent to float64 there, and it is accepted (test_convert checks both cases).
    [d for d in _known_dtypes("?bhilqnpBHILQNPefgFDGO") if not (d.kind == "f" and d.itemsize == 8)]
    + [np.dtype(t) for t in ("S8", "U2", "V8", "M8[s]", "m8[ns]", "f8,f8", "i8,f8")]
    + [np.dtype([("x", "f8")])]
)
if hasattr(np, "dtypes") and hasattr(np.dtypes, "StringDType"):
    OTHER_DTYPES.append(np.dtypes.StringDType())


@needs_pandas
@pytest.mark.parametrize("dtype", OTHER_DTYPES, ids=str)
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_two_dimensional_arrays_of_other_dtypes_are_refused(dtype, method):
    imp = fitted()
    data = np.zeros((4, 2), dtype=dtype)
    with pytest.raises(TypeError) as info:
        getattr(imp, method)(data)
    assert str(info.value) == UNSUPPORTED.format("ndarray")
    assert_intact(imp)


def test_float64_with_metadata_is_still_float64():
    imp = mirel.KnnImputer(2)
    tagged = BASE.astype(np.dtype(np.float64, metadata={"unit": "m"}))
    assert imp.fit(tagged) is imp
    assert_same_bits(imp.transform(tagged), BASE_RESULT)


@pytest.mark.parametrize(
    "shape",
    [(), (8,), (0,), (2, 2, 2), (4, 2, 1), (1, 4, 2), (0, 0, 0), (1, 1, 4, 2)],
    ids=lambda s: f"{len(s)}d-{'x'.join(map(str, s)) or 'scalar'}",
)
@needs_pandas
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_float64_arrays_that_are_not_two_dimensional_are_refused(shape, method):
    imp = fitted()
    data = np.full(shape, NAN)
    with pytest.raises(TypeError) as info:
        getattr(imp, method)(data)
    assert str(info.value) == UNSUPPORTED.format("ndarray")
    assert_intact(imp)


@needs_pandas
def test_subarray_dtype_folds_into_the_shape():
    imp = fitted()
    two_d = np.zeros(4, dtype=np.dtype((np.float64, (2,))))
    two_d[...] = BASE  # NumPy folds the subarray into the shape: (4, 2) float64
    assert_same_bits(imp.transform(two_d), BASE_RESULT)
    three_d = np.zeros((4, 1), dtype=np.dtype((np.float64, (2,))))
    with pytest.raises(TypeError) as info:
        imp.transform(three_d)
    assert str(info.value) == UNSUPPORTED.format("ndarray")
    assert_intact(imp)


@needs_pandas
@pytest.mark.parametrize("method", ["fit", "transform"])
def test_big_endian_float64_is_refused_or_read_by_value(method):
    """Never byte garbage: either refused as an unsupported ndarray or converted by value."""
    swapped = BASE.astype(">f8")
    assert swapped.dtype.byteorder == ">"
    imp = fitted()
    try:
        out = getattr(imp, method)(swapped)
    except TypeError as exc:
        assert str(exc) == UNSUPPORTED.format("ndarray")
        assert_intact(imp)
        return
    if method == "fit":
        assert out is imp
        out = imp.transform(BASE)
    assert_same_bits(out, BASE_RESULT)


# --- Memory layouts ------------------------------------------------------------------------


def c_order(a):
    return np.ascontiguousarray(a)


def f_order(a):
    out = np.asfortranarray(a)
    assert a.shape[0] < 2 or a.shape[1] < 2 or not out.flags.c_contiguous
    return out


def strided(a):
    big = np.full((a.shape[0] * 3, a.shape[1] * 2), -7.0)
    view = big[::3, ::2]
    view[...] = a
    return view


def reversed_axes(a):
    view = np.flip(np.flip(a).copy())
    assert all(s < 0 for s in view.strides)
    return view


def transposed(a):
    return np.ascontiguousarray(a.T).T


def unaligned(a, order="C"):
    buf = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    if order == "C":
        strides = (a.shape[1] * 8, 8)
    else:
        strides = (8, a.shape[0] * 8)
    view = np.ndarray(a.shape, dtype=np.float64, buffer=buf, offset=1, strides=strides)
    view[...] = a
    assert not view.flags.aligned
    return view


def unaligned_fortran(a):
    return unaligned(a, "F")


def read_only(a):
    out = np.array(a)
    out.flags.writeable = False
    return out


def read_only_fortran(a):
    out = np.asfortranarray(a)
    out.flags.writeable = False
    return out


def from_bytes(a):
    out = np.frombuffer(np.ascontiguousarray(a).tobytes(), dtype=np.float64).reshape(a.shape)
    assert not out.flags.writeable
    return out


def matrix_subclass(a):
    return np.asmatrix(a)


class Tagged(np.ndarray):
    pass


def ndarray_subclass(a):
    return np.array(a).view(Tagged)


def memmapped(a, tmp_path):
    m = np.memmap(tmp_path / "table.bin", dtype=np.float64, mode="w+", shape=a.shape, order="F")
    m[...] = a
    return m


LAYOUTS = [
    c_order,
    f_order,
    strided,
    reversed_axes,
    transposed,
    unaligned,
    unaligned_fortran,
    read_only,
    read_only_fortran,
    from_bytes,
    matrix_subclass,
    ndarray_subclass,
]


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__name__)
def test_every_layout_gives_the_same_bits(layout):
    table = np.array([[1.0, -0.0, np.inf], [NAN, 5e-324, -1e308], [3.0, NAN, 2.0], [-np.inf, 4.0, NAN]])
    expected = mirel.KnnImputer(2).fit(table).transform(table)
    imp = mirel.KnnImputer(2)
    arranged = layout(table)
    np.testing.assert_array_equal(bits(arranged), bits(table))
    assert imp.fit(arranged) is imp
    assert_same_bits(imp.transform(arranged), expected)
    assert_same_bits(imp.transform(table), expected)
    # the input is never written
    np.testing.assert_array_equal(bits(arranged), bits(table))


def test_memory_mapped_fortran_table(tmp_path):
    imp = mirel.KnnImputer(2)
    m = memmapped(BASE, tmp_path)
    assert imp.fit(m) is imp
    assert_same_bits(imp.transform(m), BASE_RESULT)
    del m


def test_zero_stride_broadcast_table():
    row = np.array([[1.0, NAN, 3.0]])
    table = np.broadcast_to(row, (5, 3))
    assert table.strides[0] == 0 and not table.flags.writeable
    imp = mirel.KnnImputer(2).fit(table)
    out = imp.transform(table)
    # every fitted row misses column 1: no donor, so 0.0
    assert_same_bits(out, np.array([[1.0, 0.0, 3.0]] * 5))


def test_input_array_changed_after_fit_does_not_reach_the_imputer():
    data = BASE.copy()
    imp = mirel.KnnImputer(2).fit(data)
    data[:] = 99.0
    assert_same_bits(imp.transform(BASE), BASE_RESULT)


# --- Names with embedded NUL bytes ---------------------------------------------------------


def test_metric_name_with_an_embedded_nul_is_not_a_metric():
    imp = mirel.KnnImputer(2, "nan_euclid\x00junk").fit(BASE)
    with pytest.raises(TypeError) as info:
        imp.transform(BASE)
    assert str(info.value) == "nan_euclid\x00junk is a unknown metric"


@pytest.mark.parametrize("weights", ["uniform\x00", "\x00uniform", "distance\x00x"])
def test_weights_name_with_an_embedded_nul_is_refused(weights):
    with pytest.raises(PanicException) as info:
        mirel.KnnImputer(2, "nan_euclid", weights)
    assert str(info.value) == "assertion failed: ALLOWED_WEIGHTS.contains(&weights)"


def test_very_long_metric_name_comes_back_whole():
    name = "m" * 1_000_000
    imp = mirel.KnnImputer(2, name).fit(BASE)
    with pytest.raises(TypeError) as info:
        imp.transform(BASE)
    assert str(info.value) == name + " is a unknown metric"
