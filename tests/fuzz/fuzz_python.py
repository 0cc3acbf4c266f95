"""Coverage-guided fuzzing of the Python API with atheris.

Two kinds of input, chosen by the first byte:
- tables: a small float64 table (awkward values, raw bit patterns), a transform input of the
  fitted shape or another, k, metric and weights names, and the memory layout of both tables;
  `fit` then `transform` must return what the plain-Python model (tests/python/reference.py)
  returns, bit for bit, or raise the exception the module defines for that case;
- arrays: an array of any dtype, dimension count and memory order with arbitrary bytes;
  `fit` accepts exactly the 2-D native float64 ones, copying them bit for bit, and refuses the
  rest with the "Unsupported type" TypeError.
More drivers, chosen with MIREL_FUZZ_DRIVERS (a comma-separated list, or "all"; the default
is "tables,arrays"):
- n_jobs: mirel.sklearn.KNNImputer with any n_jobs (absurd ones such as 2**60 and -2**60
  included) and chunk sizes, on tables large enough for threads: the bits of one thread and
  of the default chunking, or a clean ValueError/OverflowError for an n_jobs that means nothing;
- dask: mirel.dask.transform and paired_transform over blocks of any size, empty ones and
  0-row collections included: the bits of one process imputing the whole table;
- interrupts: an exception raised at a chosen Python line inside fit, transform or
  fit_transform of mirel.sklearn (as an asynchronous exception or Ctrl-C would land there);
  the estimator then answers within seconds with the bits of its state before the call, or
  of the completed call for fit and fit_transform.
A driver whose optional dependency is missing is left out with a note on stderr.
Anything else (a crash, another exception, a wrong bit) stops the fuzzer with a failure.
The model's code is instrumented, so its branches (the same rules as the engine's) guide the
search. Run: python3 tests/fuzz/fuzz_python.py [libFuzzer flags] CORPUS_DIR...
"""

import os
import struct
import sys
import threading

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


try:
    import sklearn  # noqa: F401, E402

    from mirel.sklearn import KNNImputer as SkImputer  # noqa: E402
except ImportError:  # pragma: no cover
    SkImputer = None
try:
    import dask.array as da  # noqa: E402

    import mirel.dask as mirel_dask  # noqa: E402
except ImportError:  # pragma: no cover
    da = mirel_dask = None

# fmt: off
N_JOBS = [None, 1, 2, 3, -1, -2, 0, 2**31, 2**60, -(2**60), 2**63 - 1, 2**64]
# fmt: on
ABSURD_N_JOBS = {0, 2**31, 2**60, -(2**60), 2**63 - 1, 2**64}
STUCK_SECONDS = 20.0


def outcome(call):
    """("ok", shape, bits) of a call's result, or its exception's type and message."""
    try:
        result = call()
    except (PanicException, TypeError, ValueError, OverflowError, MemoryError) as exc:
        return type(exc).__name__, str(exc)
    result = np.asarray(result)
    return "ok", result.shape, bits(result.ravel())


def fits(imputer, fitted):
    try:
        imputer.fit(fitted)
    except ValueError:  # scikit-learn's validation: infinities
        return False
    return True


def sk_tables(fdp):
    """A fitted table and a query table of its width; now and then tiled with noise to a few
    thousand rows, so that the passes are long enough to start threads."""
    cols = fdp.ConsumeIntInRange(1, 4)
    fitted = table(fdp, fdp.ConsumeIntInRange(1, 12), cols)
    query = table(fdp, fdp.ConsumeIntInRange(1, 8), cols)
    if fdp.ConsumeBool():
        rng = np.random.default_rng(fdp.ConsumeIntInRange(0, 2**16))
        reps = fdp.ConsumeIntInRange(100, 400)
        fitted = np.tile(fitted, (reps, 1)) + rng.normal(size=(fitted.shape[0] * reps, cols))
        fitted[rng.random(fitted.shape) < 0.1] = np.nan
        query = np.tile(query, (reps // 4 + 1, 1))
    return fitted, query


def fuzz_n_jobs(fdp):
    from mirel import _callables as face  # the callable paths cut their query rows in chunks

    fitted, query = sk_tables(fdp)
    params = {"n_neighbors": fdp.ConsumeIntInRange(1, 6), "weights": "distance" if fdp.ConsumeBool() else "uniform"}
    n_jobs = N_JOBS[fdp.ConsumeIntInRange(0, len(N_JOBS) - 1)]
    chunk = fdp.ConsumeIntInRange(1, 64)
    if fdp.ConsumeBool():  # a callable weights, imputed chunk by chunk of query rows
        params["weights"] = (lambda d: np.ones_like(d)) if params["weights"] == "uniform" else (lambda d: 1.0 / d)
    one = SkImputer(**params)
    want = outcome(lambda: one.fit(fitted).transform(query))
    want_self = outcome(lambda: SkImputer(**params).fit_transform(fitted))
    saved = face._CHUNK_ENTRIES
    face._CHUNK_ENTRIES = chunk * max(1, fitted.shape[0])  # `chunk` query rows at a time
    try:
        many = SkImputer(**params, n_jobs=n_jobs)
        got = outcome(lambda: many.fit(fitted).transform(query))
        got_self = outcome(lambda: SkImputer(**params, n_jobs=n_jobs).fit_transform(fitted))
    finally:
        face._CHUNK_ENTRIES = saved
    for g, w in ((got, want), (got_self, want_self)):
        if n_jobs in ABSURD_N_JOBS and g[0] in ("ValueError", "OverflowError"):
            continue  # refused cleanly: an n_jobs that means nothing
        assert g == w, (n_jobs, chunk, g, w)


def random_chunks(fdp, n):
    """At most six row chunk sizes that add up to n, with empty ones among them."""
    sizes = []
    left = n
    for _ in range(5):
        size = fdp.ConsumeIntInRange(0, left)
        sizes.append(size)
        left -= size
    sizes.append(left)
    return tuple(sizes)


def fuzz_dask(fdp):
    cols = fdp.ConsumeIntInRange(1, 4)
    fitted = table(fdp, fdp.ConsumeIntInRange(1, 10), cols)
    if fdp.ConsumeBool():
        imputer = SkImputer(n_neighbors=fdp.ConsumeIntInRange(1, 5))
        if not fits(imputer, fitted):
            return  # a table scikit-learn refuses (infinities)
        query = table(fdp, fdp.ConsumeIntInRange(0, 10), cols)
        chunks = (random_chunks(fdp, len(query)), cols)
        if query.shape[0] == 0:  # no rows: an empty result of the output width
            width = np.asarray(imputer.transform(np.zeros((1, cols)))).shape[1]
            want = ("ok", (0, width), [])
        else:
            want = outcome(lambda: imputer.transform(query))
        got = outcome(
            lambda: mirel_dask.transform(imputer, da.from_array(query, chunks=chunks)).compute(scheduler="sync")
        )
    else:
        k = fdp.ConsumeIntInRange(0, 5)
        metric = METRICS[fdp.ConsumeIntInRange(0, 1)]
        query = table(fdp, fitted.shape[0], cols) if fdp.ConsumeBool() else fitted.copy()
        chunks = (random_chunks(fdp, len(query)), cols)
        want = outcome(lambda: mirel.KnnImputer(k, metric).fit(fitted).transform(query))
        got = outcome(
            lambda: mirel_dask.paired_transform(
                fitted, da.from_array(query, chunks=chunks), k=k, metric=metric
            ).compute(scheduler="sync")
        )
    assert got == want, (chunks, got, want)


class Injected(Exception):
    """The exception the interrupts driver raises inside a call."""


def raise_at_line(n):
    """A trace function that raises Injected at the n-th line run, in any frame."""
    seen = [0]

    def trace(frame, event, arg):
        if event == "line":
            seen[0] += 1
            if seen[0] == n:
                raise Injected(n)
        return trace

    return trace


def answer_within(call, seconds):
    """call() on another thread; a call still running after `seconds` means a lock or borrow
    the interrupted call left held."""
    box = []
    worker = threading.Thread(target=lambda: box.append(outcome(call)), daemon=True)
    worker.start()
    worker.join(seconds)
    assert not worker.is_alive(), "the estimator does not answer after an interrupted call (a lock left held?)"
    return box[0]


def fuzz_interrupts(fdp):
    fitted, query = sk_tables(fdp)
    other = table(fdp, fdp.ConsumeIntInRange(1, 12), fitted.shape[1])
    params = {
        "n_neighbors": fdp.ConsumeIntInRange(1, 5),
        "n_jobs": [None, 1, 2, -1][fdp.ConsumeIntInRange(0, 3)],
        "weights": "distance" if fdp.ConsumeBool() else "uniform",
    }
    op = fdp.ConsumeIntInRange(0, 2)
    line = fdp.ConsumeIntInRange(1, 600)
    imputer = SkImputer(**params)
    if not fits(imputer, fitted):
        return  # a table scikit-learn refuses (infinities)
    before = outcome(lambda: imputer.transform(query))
    calls = [lambda: imputer.transform(query), lambda: imputer.fit(other), lambda: imputer.fit_transform(other)]
    sys.settrace(raise_at_line(line))
    try:
        calls[op]()
    except Injected:
        pass
    except (PanicException, TypeError, ValueError, OverflowError, MemoryError):
        pass  # the call's own failure, reached before the line
    finally:
        sys.settrace(None)
    after = answer_within(lambda: imputer.transform(query), STUCK_SECONDS)
    allowed = [before]
    if op > 0:  # fit and fit_transform: the old state, or the whole new one
        allowed.append(outcome(lambda: SkImputer(**params).fit(other).transform(query)))
    assert after in allowed, (op, line, after, allowed)


ALL_DRIVERS = {
    "tables": (fuzz_tables, True),
    "arrays": (fuzz_arrays, True),
    "n_jobs": (fuzz_n_jobs, SkImputer is not None),
    "dask": (fuzz_dask, SkImputer is not None and mirel_dask is not None),
    "interrupts": (fuzz_interrupts, SkImputer is not None),
}


def selected_drivers():
    names = os.environ.get("MIREL_FUZZ_DRIVERS", "tables,arrays").replace(" ", "")
    wanted = list(ALL_DRIVERS) if names == "all" else [n for n in names.split(",") if n]
    unknown = [n for n in wanted if n not in ALL_DRIVERS]
    if unknown:
        raise SystemExit(f"MIREL_FUZZ_DRIVERS: unknown driver(s) {unknown}; known: {list(ALL_DRIVERS)}")
    missing = [n for n in wanted if not ALL_DRIVERS[n][1]]
    if missing:
        print(f"fuzz_python: left out for want of scikit-learn or Dask: {missing}", file=sys.__stderr__)
    return [ALL_DRIVERS[n][0] for n in wanted if ALL_DRIVERS[n][1]]


DRIVERS = selected_drivers()


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if DRIVERS == [fuzz_tables, fuzz_arrays]:
        # The kept corpus was made with this choice: a quarter arrays, the rest tables.
        if fdp.ConsumeIntInRange(0, 3) == 0:
            fuzz_arrays(fdp)
        else:
            fuzz_tables(fdp)
        return
    DRIVERS[fdp.ConsumeIntInRange(0, len(DRIVERS) - 1)](fdp)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
