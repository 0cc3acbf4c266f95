"""Tables in and arrays out: what the module accepts, how it copies it, and the array it returns.
The conversion is observed through fit and transform: a table without missing cells comes back
from transform as its values in row-major order, in the fitted shape."""

import gc
import sys

import numpy as np
import pytest

import mirel
from conftest import NAN, collect, refusal

KnnImputer = mirel.KnnImputer
UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame"
ONE_TO_SIX = np.arange(1.0, 7.0).reshape(2, 3)


def roundtrip(data, shape=(2, 3)):
    """What the conversion made of `data`, read back through transform."""
    imputer = KnnImputer().fit(np.zeros(shape))
    return imputer.transform(data)


def unaligned(values):
    values = np.asarray(values, dtype=np.float64)
    raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
    out = raw[1:].view(np.float64).reshape(values.shape)
    out[...] = values
    assert not out.flags.aligned
    return out


LAYOUTS = {
    "c": lambda: ONE_TO_SIX.copy(),
    "fortran": lambda: np.asfortranarray(ONE_TO_SIX),
    "transposed": lambda: np.ascontiguousarray(ONE_TO_SIX.T).T,
    "column_step": lambda: _embedded(np.zeros((2, 6)), (slice(None), slice(None, None, 2))),
    "row_step": lambda: _embedded(np.zeros((4, 3)), (slice(None, None, 2), slice(None))),
    "reversed": lambda: ONE_TO_SIX[::-1, ::-1].copy()[::-1, ::-1],
    "unaligned": lambda: unaligned(ONE_TO_SIX),
    "unaligned_fortran": lambda: unaligned(ONE_TO_SIX.T).T,
    "readonly": lambda: _readonly(ONE_TO_SIX.copy()),
}


def _embedded(big, index):
    big[index] = ONE_TO_SIX
    view = big[index]
    assert not view.flags.c_contiguous
    return view


def _readonly(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_every_layout_yields_row_major_values(layout):
    data = LAYOUTS[layout]()
    assert data.dtype == np.float64
    np.testing.assert_array_equal(data, ONE_TO_SIX)
    out = roundtrip(data)
    assert out.tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


def test_strided_and_reversed_views_are_read_by_logical_index():
    big = np.arange(24.0).reshape(4, 6)
    view = big[::-1, ::2]  # rows in reverse, every second column
    assert view.strides[0] < 0
    out = roundtrip(view, shape=view.shape)
    np.testing.assert_array_equal(out, view)


def test_special_values_survive_bit_for_bit():
    values = np.array([[np.inf, -np.inf, -0.0], [0.0, 5e-324, 1.7976931348623157e308]])
    for data in (values, np.asfortranarray(values), unaligned(values)):
        out = roundtrip(data)
        assert out.tobytes() == values.tobytes()


def test_nan_payloads_mark_missing_cells_whatever_their_bits():
    bits = np.array([0x7FF8000000000001, 0xFFF8000000000000, 0x7FF0000000000001], dtype=np.uint64)
    payload_nans = bits.view(np.float64)
    fitted = np.array([[1.0, 1.0, 1.0], [2.0, 3.0, 4.0], [5.0, 6.0, 7.0]])
    data = fitted.copy()
    data[0] = payload_nans
    out = KnnImputer(k=1).fit(fitted).transform(data)
    assert not np.isnan(out).any()
    assert out[0].tolist() == [2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "data",
    [
        np.ones((2, 3), dtype=np.int64),
        np.ones((2, 3), dtype=np.int32),
        np.ones((2, 3), dtype=np.float32),
        np.ones((2, 3), dtype=np.float16),
        np.ones((2, 3), dtype=np.complex128),
        np.ones((2, 3), dtype=bool),
        np.ones((2, 3), dtype=object),
        np.ones((2, 3), dtype=">f8" if sys.byteorder == "little" else "<f8"),
        np.ones(3),
        np.ones((1, 2, 3)),
        np.array(1.0),
    ],
    ids=["int64", "int32", "float32", "float16", "complex", "bool", "object", "byteswapped", "1d", "3d", "0d"],
)
def test_other_arrays_are_refused_as_unsupported(data):
    with refusal("ndarray"):
        KnnImputer().fit(data)


def test_longdouble_is_accepted_only_where_it_is_a_double():
    # NumPy reports long double equivalent to float64 where the C long double is the 8-byte
    # double (32-bit ARM, for one); elsewhere (x86-64: 80-bit extended) it is another type.
    data = ONE_TO_SIX.astype(np.longdouble)
    if np.dtype(np.longdouble).itemsize == 8:
        assert roundtrip(data).tolist() == ONE_TO_SIX.tolist()
    else:
        with refusal("ndarray"):
            KnnImputer().fit(data)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "data, name",
    [
        ([[1.0, 2.0]], "list"),
        (None, "NoneType"),
        ((1.0,), "tuple"),
        ("1.0", "str"),
        (b"\x00" * 8, "bytes"),
        (1.5, "float"),
        (Outer.Inner(), "Outer.Inner"),
        (memoryview(b"abcdefgh"), "memoryview"),
    ],
)
def test_non_tables_are_refused_by_qualified_name(data, name):
    pytest.importorskip("pandas")
    with pytest.raises(TypeError) as info:
        KnnImputer().fit(data)
    assert str(info.value) == UNSUPPORTED.format(name)


def test_series_is_refused():
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError) as info:
        KnnImputer().fit(pd.Series([1.0, 2.0]))
    assert str(info.value) == UNSUPPORTED.format("Series")


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_tables_are_accepted(shape):
    imputer = KnnImputer().fit(np.zeros(shape))
    out = imputer.transform(np.zeros(shape))
    assert out.shape == shape
    assert out.dtype == np.float64
    assert out.strides == (0, 0)


def test_ndarray_subclass_is_accepted_and_the_result_is_a_plain_ndarray():
    class Marked(np.ndarray):
        pass

    data = ONE_TO_SIX.view(Marked)
    out = roundtrip(data)
    assert type(out) is np.ndarray
    assert out.tolist() == ONE_TO_SIX.tolist()


class TestDataFrames:
    @pytest.fixture(autouse=True)
    def _pandas(self):
        self.pd = pytest.importorskip("pandas")

    def test_float_columns_with_missing_cells(self):
        frame = self.pd.DataFrame({"a": [1.0, 2.0, 3.0, 4.0], "b": [10.0, NAN, 30.0, 40.0]})
        out = KnnImputer(k=2).fit(frame).transform(frame)
        assert out.tolist() == [[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]]

    def test_mixed_int_and_float_columns_convert(self):
        frame = self.pd.DataFrame({"a": [1, 2], "b": [0.5, 1.5], "c": [3, 4]})
        out = roundtrip(frame, shape=(2, 3))
        assert out.tolist() == [[1.0, 0.5, 3.0], [2.0, 1.5, 4.0]]

    def test_subclass_is_accepted(self):
        class Frame(self.pd.DataFrame):
            pass

        frame = Frame({"a": [1.0, 4.0], "b": [2.0, 5.0], "c": [3.0, 6.0]})
        assert roundtrip(frame).tolist() == ONE_TO_SIX.tolist()

    @pytest.mark.parametrize(
        "columns, dtype",
        [({"a": [1, 2], "b": [3, 4]}, "int64"), ({"a": [1.0, 2.0], "t": ["x", "y"]}, "object")],
        ids=["int-only", "text-column"],
    )
    def test_frames_that_do_not_become_float64_are_refused_by_the_conversion(self, columns, dtype):
        with pytest.raises(TypeError) as info:
            KnnImputer().fit(self.pd.DataFrame(columns))
        message = str(info.value)
        assert message == (
            f"'ndarray' object of dtype {dtype} with 2 dimensions cannot be converted "
            "to a 2-dimensional float64 numpy.ndarray"
        )
        assert not message.startswith("Unsupported type")

    def test_to_numpy_errors_pass_through_unchanged(self):
        class Broken(self.pd.DataFrame):
            def to_numpy(self, *args, **kwargs):
                raise KeyError("no numbers today")

        with pytest.raises(KeyError, match="no numbers today"):
            KnnImputer().fit(Broken({"a": [1.0]}))

    def test_to_numpy_returning_a_list_is_made_an_array(self):
        class Listy(self.pd.DataFrame):
            def to_numpy(self, *args, **kwargs):
                return [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]

        assert roundtrip(Listy({"a": [0.0]})).tolist() == ONE_TO_SIX.tolist()

    def test_to_numpy_returning_three_dimensions_is_refused(self):
        class Cube(self.pd.DataFrame):
            def to_numpy(self, *args, **kwargs):
                return np.zeros((1, 2, 3))

        with pytest.raises(TypeError) as info:
            KnnImputer().fit(Cube({"a": [0.0]}))
        assert str(info.value) == (
            "'ndarray' object of dtype float64 with 3 dimensions cannot be "
            "converted to a 2-dimensional float64 numpy.ndarray"
        )

    def test_fortran_frame_values_are_made_contiguous(self):
        class Fortran(self.pd.DataFrame):
            def to_numpy(self, *args, **kwargs):
                return np.asfortranarray(ONE_TO_SIX)

        assert roundtrip(Fortran({"a": [0.0]})).tolist() == ONE_TO_SIX.tolist()


class TestWithoutPandas:
    @pytest.fixture(autouse=True)
    def _no_pandas(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "pandas", None)

    def test_arrays_still_convert(self):
        assert roundtrip(ONE_TO_SIX).tolist() == ONE_TO_SIX.tolist()

    @pytest.mark.parametrize("data", [[[1.0]], None, np.ones((2, 3), dtype=np.int64)])
    def test_everything_else_raises_the_import_error(self, data):
        with pytest.raises(ImportError):
            KnnImputer().fit(data)


class TestResultArray:
    def test_type_flags_strides_and_base(self):
        imputer = KnnImputer(k=1).fit(np.array([[1.0, 2.0, 3.0], [4.0, NAN, 6.0]]))
        out = imputer.transform(np.array([[1.0, 2.0, 3.0], [4.0, NAN, 6.0]]))
        assert type(out) is np.ndarray
        assert out.dtype == np.float64
        assert out.shape == (2, 3)
        assert out.strides == (24, 8)
        assert out.flags.writeable and out.flags.c_contiguous and out.flags.aligned
        assert not out.flags.owndata
        base = out.base
        assert type(base).__name__ == "PySliceContainer"
        assert type(base).__module__ == "mirel"
        assert type(base).__doc__
        out[0, 0] = 99.0  # writeable, and ours to change
        assert out[0, 0] == 99.0

    def test_a_view_keeps_the_buffer_alive(self):
        imputer = KnnImputer().fit(np.arange(12.0).reshape(4, 3))
        out = imputer.transform(np.arange(12.0).reshape(4, 3))
        view = out[1:, 1:]
        del out
        collect()
        big = [np.full((4, 3), -1.0) for _ in range(50)]  # reuse freed memory if it was freed
        assert view.tolist() == [[4.0, 5.0], [7.0, 8.0], [10.0, 11.0]]
        del big

    def test_container_dies_with_the_array(self):
        imputer = KnnImputer().fit(np.ones((3, 3)))
        out = imputer.transform(np.ones((3, 3)))
        container_type = type(out.base)
        del out
        collect()
        gc.collect()
        assert not any(type(obj) is container_type for obj in gc.get_objects())

    def test_every_call_returns_a_new_array(self):
        data = np.ones((2, 2))
        imputer = KnnImputer().fit(data)
        first, second = imputer.transform(data), imputer.transform(data)
        assert first is not second and first is not data
        assert not np.shares_memory(first, second) and not np.shares_memory(first, data)


def test_unloadable_numpy_is_a_panic_for_every_input():
    import subprocess

    code = (
        "import sys\n"
        "for name in ('numpy', 'numpy._core', 'numpy._core._multiarray_umath', 'numpy.core',\n"
        "             'numpy.core._multiarray_umath'):\n"
        "    sys.modules[name] = None\n"
        "import mirel\n"
        "for data in ([[1.0]], None):\n"
        "    try:\n"
        "        mirel.KnnImputer().fit(data)\n"
        "    except BaseException as exc:\n"
        "        print(type(exc).__name__, '|', exc)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    lines = run.stdout.splitlines()
    assert len(lines) == 2, run
    for line in lines:
        kind, message = line.split(" | ", 1)
        assert kind == "PanicException"
        assert message.startswith("Failed to access NumPy array API capsule")
