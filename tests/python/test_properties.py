"""Property-based tests: for generated tables of float64 (NaN of every payload and sign, +-inf,
-0.0, subnormals, the largest finite values), of every shape down to 0 rows or 0 columns, in
every memory layout, every call either returns exactly what the plain-Python model of the pass
returns, bit for bit, or raises the exception the module defines for that case.

The CI profile is derandomized (the same examples on every run); MIREL_HYPOTHESIS_PROFILE=dev
draws new ones, and MIREL_HYPOTHESIS_EXAMPLES scales the run."""

import collections
import math
import os
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.errors import InvalidArgument

import mirel
from conftest import PanicException
from reference import ReferencePanic, ReferenceUnknownMetric, impute_reference

pd = pytest.importorskip("pandas")

EXAMPLES = int(os.environ.get("MIREL_HYPOTHESIS_EXAMPLES", "2000"))
settings.register_profile(
    "ci",
    derandomize=True,
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
settings.register_profile(
    "dev", deadline=None, print_blob=True, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large]
)
PROFILE = settings.get_profile(os.environ.get("MIREL_HYPOTHESIS_PROFILE", "ci"))
UNSUPPORTED_NDARRAY = "Unsupported type: 'ndarray'. Supported types are: numpy.ndarray, pandas.DataFrame"


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


# fmt: off
SPECIALS = [
    math.nan, -math.nan, from_bits(0x7FF0000000000001), from_bits(0xFFF4000000000000),  # signalling
    from_bits(0x7FF800000000BEEF), math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324,
    2.2250738585072014e-308, 2.225073858507201e-308, 1e308, -1e308, 1.7976931348623157e308,
    -1.7976931348623157e308, 0.5, 1.0, -1.0, 2.0, 3.0, 0.333,
]
# fmt: on
cells = st.one_of(
    st.sampled_from(SPECIALS),
    st.just(math.nan),
    st.integers(-3, 3).map(float),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
)


@st.composite
def tables(draw, rows=None, cols=None):
    r = draw(st.integers(0, 7)) if rows is None else rows
    c = draw(st.integers(0, 4)) if cols is None else cols
    values = draw(st.lists(cells, min_size=r * c, max_size=r * c))
    return np.array(values, dtype=np.float64).reshape(r, c)


# --- layouts: the same logical table in other memory ---------------------------------------


def c_order(a):
    return np.ascontiguousarray(a)


def f_order(a):
    return np.asfortranarray(a)


def strided(a):
    big = np.full((a.shape[0] * 2 + 1, a.shape[1] * 3 + 1), 7.0)
    view = big[1::2, 1::3]
    view[...] = a
    return view


def reversed_axes(a):
    return np.flip(np.flip(a).copy())


def unaligned(a):
    buf = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    view = np.ndarray(a.shape, dtype=np.float64, buffer=buf, offset=1, strides=(a.shape[1] * 8, 8))
    view[...] = a
    return view


def read_only_fortran(a):
    out = np.asfortranarray(a).copy(order="F")
    out.flags.writeable = False
    return out


def frame(a):
    return pd.DataFrame(a)


LAYOUTS = [c_order, f_order, strided, reversed_axes, unaligned, read_only_fortran, frame]
METRICS = ["nan_euclid", "expected_distance"] * 5 + ["", "Nan_euclid", "nan_euclid "]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def as_array(data):
    return data.to_numpy() if isinstance(data, pd.DataFrame) else np.asarray(data)


def expected_outcome(fitted, data, k, metric, weights):
    """What transform must give: the model's pass, then the module's shape step."""
    rows, cols = fitted.shape
    try:
        flat = impute_reference(fitted, data.ravel().tolist(), data.shape[0], k, metric, weights)
    except ReferencePanic as exc:
        return PanicException, str(exc)
    except ReferenceUnknownMetric as exc:
        return TypeError, str(exc)
    if len(flat) < rows * cols:
        return ValueError, "ShapeError/OutOfBounds: out of bounds indexing"
    if len(flat) > rows * cols:
        return ValueError, "ShapeError/IncompatibleShape: incompatible shapes"
    return "ok", flat


def actual_outcome(call):
    try:
        return "ok", call()
    except (PanicException, TypeError, ValueError) as exc:
        return type(exc), str(exc)


def run_counted(test):
    count = [0]
    test(count)
    return count[0]


@st.composite
def transform_cases(draw):
    fitted = draw(tables())
    kind = draw(st.sampled_from(["same", "same", "same", "same-shape", "other-shape", "same-cells"]))
    if kind == "same":
        data = fitted.copy()
    elif kind == "same-shape":
        data = draw(tables(*fitted.shape))
    elif kind == "same-cells" and fitted.size:
        r, c = fitted.shape
        divisors = [d for d in range(1, fitted.size + 1) if fitted.size % d == 0]
        new_rows = draw(st.sampled_from(divisors))
        data = draw(tables(new_rows, fitted.size // new_rows))
    else:
        data = draw(tables())
    k = draw(st.one_of(st.integers(0, 9), st.just(2**32 - 1)))
    metric = draw(st.sampled_from(METRICS))
    weights = draw(st.sampled_from(["uniform", "distance"]))
    fit_layout = draw(st.sampled_from(LAYOUTS))
    data_layout = draw(st.sampled_from(LAYOUTS))
    keyword = draw(st.booleans())
    return fitted, data, k, metric, weights, fit_layout, data_layout, keyword


def test_transform_matches_the_reference_or_raises_the_defined_error(capsys):
    outcomes = collections.Counter()

    @settings(PROFILE, max_examples=EXAMPLES)
    @given(case=transform_cases())
    def check(count, case):
        count[0] += 1
        fitted, data, k, metric, weights, fit_layout, data_layout, keyword = case
        fit_input = fit_layout(fitted)
        data_input = data_layout(data)
        data_before = bits(as_array(data_input)).copy()
        imputer = mirel.KnnImputer(k, metric, weights)
        assert imputer.fit(fit_input) is imputer

        want = expected_outcome(fitted, data, k, metric, weights)
        if keyword:
            got = actual_outcome(lambda: imputer.transform(data=data_input))
        else:
            got = actual_outcome(lambda: imputer.transform(data_input))
        outcomes[want[0] if want[0] == "ok" else want[0].__name__] += 1
        assert got[0] == want[0], (got, want)
        if want[0] == "ok":
            result = got[1]
            assert type(result) is np.ndarray and result.dtype == np.float64
            assert result.shape == fitted.shape and result.flags.c_contiguous and result.flags.writeable
            assert bits(result.ravel()).tolist() == bits(want[1]).tolist()
        else:
            assert got[1] == want[1]
        # the input is never written, the imputer never changed, no borrow is left
        assert bits(as_array(data_input)).tolist() == data_before.tolist()
        assert imputer.k == k
        imputer.k = k
        again = actual_outcome(lambda: imputer.transform(fitted))
        want_again = expected_outcome(fitted, fitted, k, metric, weights)
        assert again[0] == want_again[0]
        if want_again[0] == "ok":
            assert bits(again[1].ravel()).tolist() == bits(want_again[1]).tolist()

    examples = run_counted(check)
    with capsys.disabled():
        print(f"\nhypothesis: transform against the reference, {examples} examples: {dict(outcomes)}")
    assert examples >= min(EXAMPLES, 100)


def test_refit_replaces_everything_and_failed_fits_change_nothing(capsys):
    @settings(PROFILE, max_examples=max(EXAMPLES // 5, 20))
    @given(first=tables(), second=tables(), layout=st.sampled_from(LAYOUTS), k=st.integers(0, 6))
    def check(count, first, second, layout, k):
        count[0] += 1
        imputer = mirel.KnnImputer(k).fit(layout(first))
        for refused in (np.zeros(first.shape, np.float32), first.tolist(), first[None], pd.DataFrame({"t": ["x"]})):
            with pytest.raises(TypeError):
                imputer.fit(refused)
        # still the first table
        want = expected_outcome(first, first, k, "nan_euclid", "uniform")
        got = actual_outcome(lambda: imputer.transform(first))
        assert got[0] == want[0]
        if want[0] == "ok":
            assert bits(got[1].ravel()).tolist() == bits(want[1]).tolist()
        # now only the second table counts
        assert imputer.fit(layout(second)) is imputer
        want = expected_outcome(second, second, k, "nan_euclid", "uniform")
        got = actual_outcome(lambda: imputer.transform(second))
        assert got[0] == want[0]
        if want[0] == "ok":
            assert got[1].shape == second.shape
            assert bits(got[1].ravel()).tolist() == bits(want[1]).tolist()

    examples = run_counted(check)
    with capsys.disabled():
        print(f"\nhypothesis: refit and failed fits, {examples} examples")
    assert examples >= min(EXAMPLES // 5, 20)


# --- arrays of any dtype, any number of dimensions -----------------------------------------

try:
    from hypothesis.extra import numpy as hnp
except ImportError:  # pragma: no cover - hypothesis always ships it
    hnp = None


def _draws_object_arrays():
    # Older hypothesis (Debian bookworm's 6.67) cannot draw arrays of object dtype.
    try:
        hnp.from_dtype(np.dtype(object)).validate()
    except InvalidArgument:
        return False
    return True


def any_dtype():
    return st.one_of(
        hnp.scalar_dtypes(),
        hnp.byte_string_dtypes(),
        hnp.unicode_string_dtypes(),
        st.just(np.dtype(">f8")),
        st.just(np.dtype("<f8")),
        *([st.just(np.dtype(object))] if _draws_object_arrays() else []),
        hnp.array_dtypes(allow_subarrays=False, max_size=2),
    )


def test_any_array_is_converted_exactly_or_refused(capsys):
    if hnp is None:
        pytest.skip("hypothesis.extra.numpy missing")

    @settings(PROFILE, max_examples=max(EXAMPLES // 3, 30))
    @given(
        array=hnp.arrays(dtype=any_dtype(), shape=hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4)),
        order=st.sampled_from(["C", "F"]),
    )
    def check(count, array, order):
        count[0] += 1
        array = np.asarray(array, order=order)
        imputer = mirel.KnnImputer(2).fit(np.ones((2, 2)))
        accepted = array.ndim == 2 and array.dtype == np.float64 and array.dtype.isnative
        got = actual_outcome(lambda: imputer.fit(array))
        if accepted:
            assert got == ("ok", imputer)
            # no missing cell: transform returns the fitted values, bit for bit
            if not np.isnan(array).any():
                out = imputer.transform(array)
                assert bits(out).tolist() == bits(array).tolist()
        elif got[0] == "ok":
            # a foreign byte order or an equivalent dtype may be read, but only by value
            assert array.ndim == 2 and array.dtype.kind == "f" and array.dtype.itemsize == 8
            out = imputer.transform(np.ascontiguousarray(array, dtype=np.float64))
            assert out.shape == array.shape
        else:
            assert got == (TypeError, UNSUPPORTED_NDARRAY)
            # the earlier fit is still there
            assert bits(imputer.transform(np.ones((2, 2)))).tolist() == bits(np.ones((2, 2))).tolist()

    examples = run_counted(check)
    with capsys.disabled():
        print(f"\nhypothesis: arrays of any dtype and dimension, {examples} examples")
    assert examples >= min(EXAMPLES // 3, 30)
