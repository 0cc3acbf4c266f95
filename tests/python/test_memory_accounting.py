"""Buffers that objects of this module keep alive (a result array's data, an imputer's fitted
matrix) are reported to the interpreter's memory accounting: tracemalloc on CPython, where they
are attributed to the call that made them and withdrawn when freed; the collector's memory
pressure on PyPy, where without it a loop that drops its results grows without bound until
something else makes the collector run."""

import json
import os
import platform
import subprocess
import sys

import numpy as np
import pytest

import mirel
from conftest import IS_PYPY, NAN, UNDER_SANITIZER

KnnImputer = mirel.KnnImputer
MEMORY_DOMAIN = 0x6D69726C
MIB = 1024 * 1024


# A service-like process: the module, NumPy and psutil, nothing else. PyPy's collector runs a
# major collection once the heap (with the reported pressure) has grown by a fixed fraction of
# what survived the last one, so what a loop may accumulate scales with the live heap; pytest's
# own heap would make the figure depend on whatever ran before.
DROPPED_RESULTS_LOOP = """
import json, sys
import numpy as np
import psutil
import mirel

data = np.random.default_rng(0).normal(size=(500, 500))
data[250, 250] = np.nan
imputer = mirel.KnnImputer(k=5).fit(data)
imputer.transform(data)
process = psutil.Process()
start = process.memory_info().rss
growth = []
# RSS is read every 200 calls only: reading it allocates Python objects, which would make the
# collector run for reasons of its own. No gc.collect() anywhere: a service has none.
for _ in range(10):
    for _ in range(200):
        imputer.transform(data)
    growth.append(process.memory_info().rss - start)
json.dump(growth, sys.stdout)
"""


@pytest.mark.skipif(
    not IS_PYPY,
    reason="on CPython a result is freed with its last reference "
    "(test_resources covers it); only PyPy's collector needs the memory pressure",
)
@pytest.mark.skipif(UNDER_SANITIZER, reason="AddressSanitizer holds freed memory in quarantine")
def test_dropped_results_do_not_accumulate_without_collect():
    pytest.importorskip("psutil")
    # PyPy sizes its nursery as half the last-level cache: on a host with a 260 MiB L3 the first
    # minor collection comes only after 130 MiB, and the first major one near 1 GiB, whatever the
    # module reports. The loop runs with the 4 MB nursery of a board with a small cache, where
    # the reported pressure decides when the collector runs (docs/platforms.md has both figures).
    env = {**os.environ, "PYPY_GC_NURSERY": "4MB"}
    done = subprocess.run(
        [sys.executable, "-c", DROPPED_RESULTS_LOOP], capture_output=True, text=True, timeout=1800, env=env
    )
    assert done.returncode == 0, done.stderr
    growth = json.loads(done.stdout)
    assert len(growth) == 10
    # Each result holds 1.9 MiB; unseen by the collector, 2,000 of them reach gigabytes.
    assert max(growth) < 64 * MIB, [f"+{g / MIB:.1f} MiB" for g in growth]


tracemalloc_only = pytest.mark.skipif(
    IS_PYPY or platform.python_implementation() != "CPython",
    reason=f"{platform.python_implementation()}'s tracemalloc records nothing; there the same "
    "calls add memory pressure to the collector",
)


@pytest.fixture
def tracing():
    tracemalloc = pytest.importorskip("tracemalloc")
    was_tracing = tracemalloc.is_tracing()
    if not was_tracing:
        tracemalloc.start(1)
    yield tracemalloc
    if not was_tracing:
        tracemalloc.stop()


def module_traces(tracemalloc):
    """(size, file, line) of every live buffer in the module's domain made from this file (where
    tracemalloc was already tracing, buffers of other tests may be alive)."""
    snapshot = tracemalloc.take_snapshot().filter_traces(
        [tracemalloc.DomainFilter(inclusive=True, domain=MEMORY_DOMAIN)]
    )
    # a traceback runs from the oldest frame to the most recent, the line that made the buffer
    frames = [(t.size, t.traceback[-1]) for t in snapshot.traces]
    return sorted((size, frame.filename, frame.lineno) for size, frame in frames if frame.filename == __file__)


def here(offset):
    """The line `offset` lines below the caller's line, in this file."""
    frame = sys._getframe(1)
    return (frame.f_code.co_filename, frame.f_lineno + offset)


@tracemalloc_only
@pytest.mark.parametrize("shape", [(7, 3), (300, 40)])
def test_result_buffer_is_attributed_to_the_call(tracing, shape):
    rows, cols = shape
    data = np.random.default_rng(1).normal(size=shape)
    data[1, 2] = NAN
    imputer = KnnImputer(k=2)
    fit_line = here(1)
    imputer.fit(data)
    transform_line = here(1)
    result = imputer.transform(data)
    expected = sorted([(rows * cols * 8, *fit_line), (rows * cols * 8, *transform_line)])
    assert module_traces(tracing) == expected
    assert result.base is not None
    del result
    # withdrawn when the array and its owner are freed
    assert module_traces(tracing) == [(rows * cols * 8, *fit_line)]


@tracemalloc_only
def _has_pandas():
    try:
        import pandas  # noqa: F401
    except ImportError:
        return False
    return True


def test_fitted_matrix_is_withdrawn_when_replaced_or_freed(tracing):
    first = np.ones((4, 2))
    second = np.ones((6, 5))
    imputer = KnnImputer(k=1)
    first_line = here(1)
    imputer.fit(first)
    assert module_traces(tracing) == [(4 * 2 * 8, *first_line)]
    # a failed fit leaves the imputer, and what is reported of it, as they were
    # without pandas, an array that is not float64 meets pandas' import error, as every input
    # other than an accepted array does
    with pytest.raises(TypeError if _has_pandas() else ImportError):
        imputer.fit(np.ones((3, 3), np.int64))
    with pytest.raises((TypeError, ImportError)):  # ImportError: pandas is not installed
        imputer.fit([[1.0]])
    assert module_traces(tracing) == [(4 * 2 * 8, *first_line)]
    second_line = here(1)
    imputer.fit(second)
    assert module_traces(tracing) == [(6 * 5 * 8, *second_line)]
    # empty tables hold no buffer and report none
    imputer.fit(np.ones((0, 5)))
    assert module_traces(tracing) == []
    imputer.fit(second)
    del imputer
    assert module_traces(tracing) == []


# Result arrays against arrays NumPy allocates itself, of the same size, in one process with
# PyPy's own nursery: what a burst of dropped results leaves behind after a collection, and how
# far a loop that drops them grows without one. NumPy's allocator is the yardstick: a result
# must weigh on the collector as its arrays do, and give its memory back as they do.
RESULTS_AGAINST_NUMPY = r"""
import gc, json, os
import numpy as np
import mirel

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

X = np.random.default_rng(0).normal(size=(500, 500))
X[7, 3] = np.nan  # one missing cell: the call is mostly the 2 MB result
imputer = mirel.KnnImputer(k=3).fit(X)
makers = {"numpy": X.copy, "mirel": lambda: imputer.transform(X)}
out = {}
for name, make in makers.items():
    for _ in range(200):  # the JIT and the heap settle
        make()
    gc.collect(); gc.collect()
    base = rss()
    kept = []
    for burst in (60, 120, 240):
        for _ in range(burst):
            make()
        gc.collect(); gc.collect()
        kept.append(rss() - base)
    base = rss()
    grown = 0
    for i in range(600):
        make()
        if i % 20 == 0:
            grown = max(grown, rss() - base)
    out[name] = {"kept": kept, "grown": grown}
    gc.collect(); gc.collect()
print(json.dumps(out))
"""


@pytest.mark.skipif(platform.python_implementation() != "PyPy", reason="PyPy's collector")
def test_results_are_reclaimed_as_numpy_arrays_are():
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYPY_GC_")}
    child = subprocess.run(
        [sys.executable, "-c", RESULTS_AGAINST_NUMPY], env=env, capture_output=True, text=True, timeout=900
    )
    assert child.returncode == 0, child.stderr[-3000:]
    seen = json.loads(child.stdout.strip().splitlines()[-1])
    mib = 2**20
    numpy, ours = seen["numpy"], seen["mirel"]
    # After each collection a burst of dropped results leaves no more than NumPy's arrays do
    # (a few results' worth of slack for the allocator's rounding), however long the burst.
    for theirs, kept in zip(numpy["kept"], ours["kept"]):
        assert kept <= max(theirs, 0) + 8 * mib, seen
    # Without a collection the process grows no more than it does with NumPy's arrays.
    assert ours["grown"] <= 1.5 * max(numpy["grown"], 0) + 32 * mib, seen
