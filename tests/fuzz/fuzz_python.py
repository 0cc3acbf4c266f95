"""Coverage-guided fuzzing of the Python API with atheris.

Two kinds of input, chosen by the first byte:
- tables: a small float64 table (awkward values, raw bit patterns), a transform input of the
  fitted shape or another, k, metric and weights names, and the memory layout of both tables;
  `fit` then `transform` must return what the plain-Python model (tests/python/reference.py)
  returns, bit for bit, or raise the exception the module defines for that case;
- arrays: an array of any dtype, dimension count and memory order with arbitrary bytes;
  `fit` accepts exactly the 2-D native float64 ones, copying them bit for bit, and refuses the
  rest with the "Unsupported type" TypeError.
Anything else (a crash, another exception, a wrong bit) stops the fuzzer with a failure.
The model's code is instrumented, so its branches (the same rules as the engine's) guide the
search. Run: python3 tests/fuzz/fuzz_python.py [libFuzzer flags] CORPUS_DIR...
"""

import os
import struct
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

with atheris.instrument_imports():
    import reference

import numpy as np  # noqa: E402

import mirel  # noqa: E402

try:
    import pandas as pd  # noqa: E402
except ImportError:  # pragma: no cover
    pd = None


class _QuietPanics:
    """Internal failures report themselves on stderr; thousands of them would drown the log."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        if text.startswith("mirel: internal failure:"):
            return len(text)
        return self.stream.write(text)

    def __getattr__(self, name):
        return getattr(self.stream, name)


sys.stderr = _QuietPanics(sys.stderr)


def _panic_type():
    try:
        mirel.KnnImputer(weights="")
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("weights '' accepted")


PanicException = _panic_type()
UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame"
# fmt: off
SPECIALS = [
    float("nan"), -float("nan"), float("inf"), -float("inf"), 0.0, -0.0, 5e-324, -5e-324,
    2.2250738585072014e-308, 1e308, -1e308, 1.7976931348623157e308, -1.7976931348623157e308,
    0.5, 1.0, -1.0, 2.0, 3.0, 0.333, 10.0, -2.5,
]
# fmt: on
METRICS = ["nan_euclid", "expected_distance", "nan_euclid", "expected_distance", "", "Nan_euclid"]
# fmt: off
DTYPES = [
    "f8", ">f8", "f4", "f2", "i8", "i4", "u1", "?", "c16", "O", "S3", "U2", "M8[s]", "m8[ms]", "V8",
    "f8,f8", "g",
]
# fmt: on


def cell(fdp):
    choice = fdp.ConsumeIntInRange(0, 3 + len(SPECIALS))
    if choice < 3:
        return float("nan")
    if choice == 3:
        return struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
    return SPECIALS[choice - 4]


def table(fdp, rows, cols):
    return np.array([cell(fdp) for _ in range(rows * cols)], dtype=np.float64).reshape(rows, cols)


def arrange(a, how):
    if how == 1:
        return np.asfortranarray(a)
    if how == 2:
        big = np.full((a.shape[0] * 2 + 1, a.shape[1] * 2 + 1), 3.0)
        view = big[1::2, ::2][:, : a.shape[1]]
        view[...] = a
        return view
    if how == 3:
        return np.flip(np.flip(a).copy())
    if how == 4:
        buf = np.zeros(a.size * 8 + 1, dtype=np.uint8)
        view = np.ndarray(a.shape, dtype=np.float64, buffer=buf, offset=1, strides=(a.shape[1] * 8, 8))
        view[...] = a
        return view
    if how == 5 and pd is not None:
        return pd.DataFrame(a)
    return np.ascontiguousarray(a)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def expected(fitted, data, k, metric, weights):
    rows, cols = fitted.shape
    try:
        flat = reference.impute_reference(fitted, data.ravel().tolist(), data.shape[0], k, metric, weights)
    except reference.ReferencePanic as exc:
        return PanicException, str(exc)
    except reference.ReferenceUnknownMetric as exc:
        return TypeError, str(exc)
    if len(flat) < rows * cols:
        return ValueError, "ShapeError/OutOfBounds: out of bounds indexing"
    if len(flat) > rows * cols:
        return ValueError, "ShapeError/IncompatibleShape: incompatible shapes"
    return "ok", bits(flat)


def fuzz_tables(fdp):
    rows, cols = fdp.ConsumeIntInRange(0, 7), fdp.ConsumeIntInRange(0, 4)
    fitted = table(fdp, rows, cols)
    shape = fdp.ConsumeIntInRange(0, 4)
    if shape <= 1:
        data = fitted.copy()
    elif shape == 2:
        data = table(fdp, rows, cols)
    elif shape == 3 and rows * cols:
        n = rows * cols
        divisors = [d for d in range(1, n + 1) if n % d == 0]
        r = divisors[fdp.ConsumeIntInRange(0, len(divisors) - 1)]
        data = table(fdp, r, n // r)
    else:
        data = table(fdp, fdp.ConsumeIntInRange(0, 8), fdp.ConsumeIntInRange(0, 4))
    k = fdp.ConsumeIntInRange(0, 10)
    if k == 10:
        k = 2**32 - 1
    metric = METRICS[fdp.ConsumeIntInRange(0, len(METRICS) - 1)]
    weights = "distance" if fdp.ConsumeBool() else "uniform"
    fit_input = arrange(fitted, fdp.ConsumeIntInRange(0, 5))
    data_input = arrange(data, fdp.ConsumeIntInRange(0, 5))

    imputer = mirel.KnnImputer(k, metric, weights)
    assert imputer.fit(fit_input) is imputer
    want = expected(fitted, data, k, metric, weights)
    try:
        result = imputer.transform(data_input)
    except (PanicException, TypeError, ValueError) as exc:
        got = (type(exc), str(exc))
    else:
        assert type(result) is np.ndarray and result.shape == fitted.shape
        got = ("ok", bits(result.ravel()))
    assert got == want, (got, want)
    assert imputer.k == k
    imputer.k = k  # no borrow left behind


def fuzz_arrays(fdp):
    dtype = np.dtype(DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)])
    ndim = fdp.ConsumeIntInRange(0, 4)
    shape = tuple(fdp.ConsumeIntInRange(0, 3) for _ in range(ndim))
    count = int(np.prod(shape, dtype=np.int64))
    raw = fdp.ConsumeBytes(count * dtype.itemsize).ljust(count * dtype.itemsize, b"\0")
    if dtype.hasobject:
        array = np.array([cell(fdp) for _ in range(count)], dtype=object).reshape(shape)
    else:
        array = np.frombuffer(raw, dtype=dtype).reshape(shape)
    if fdp.ConsumeBool():
        array = np.asfortranarray(array)
    imputer = mirel.KnnImputer(2).fit(np.ones((1, 1)))
    accepted = array.ndim == 2 and array.dtype == np.float64 and array.dtype.isnative
    try:
        out = imputer.fit(array)
    except TypeError as exc:
        assert not accepted, exc
        assert str(exc) == UNSUPPORTED.format("ndarray"), exc
        assert bits(imputer.transform(np.ones((1, 1)))) == bits(np.ones((1, 1)))
        return
    assert out is imputer
    assert array.ndim == 2 and array.dtype.kind == "f" and array.dtype.itemsize == 8, array.dtype
    values = np.ascontiguousarray(array, dtype=np.float64)
    if not np.isnan(values).any():
        assert bits(imputer.transform(values)) == bits(values)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 3) == 0:
        fuzz_arrays(fdp)
    else:
        fuzz_tables(fdp)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
