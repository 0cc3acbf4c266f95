"""Shared test configuration for every interpreter the module runs on (CPython and PyPy).

- ``@pytest.mark.cpython_only``: the test needs a CPython-only facility (``sys.getrefcount``:
  PyPy's objects have no visible reference count). It is skipped where the facility is missing,
  and runs everywhere else. Usable on a function, a class or as ``pytestmark`` of a module.
- ``collect_garbage`` fixture: a function that runs the collector until nothing more is freed.
  PyPy frees objects only when its collector runs, so call it before checking that something
  died (a weak reference cleared, a buffer released).
- Hypothesis runs without its per-example deadline: interpreters with a JIT (PyPy) take their
  time on the first examples, and speed is measured by the benchmarks, not by the tests.
"""

import gc
import platform
import sys

import pytest

try:
    from hypothesis import settings as _hypothesis_settings
except ImportError:  # the suites that use hypothesis import it themselves
    _hypothesis_settings = None

IS_PYPY = platform.python_implementation() == "PyPy"
HAS_REFCOUNT = hasattr(sys, "getrefcount")
_CPYTHON_ONLY_REASON = (
    f"needs sys.getrefcount, which {platform.python_implementation()} does not provide"
)

if _hypothesis_settings is not None:
    _hypothesis_settings.register_profile("mirel", deadline=None)
    _hypothesis_settings.load_profile("mirel")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "cpython_only: needs sys.getrefcount or another CPython-only facility; "
        "skipped on interpreters without it (PyPy)",
    )


def pytest_runtest_setup(item):
    if item.get_closest_marker("cpython_only") is not None and not HAS_REFCOUNT:
        pytest.skip(_CPYTHON_ONLY_REASON)


def _collect_garbage():
    # A collection can free objects whose finalizers release more, so one pass is not enough;
    # PyPy's gc.collect() reports no count, so repeat a fixed number of times.
    for _ in range(3):
        gc.collect()


@pytest.fixture
def collect_garbage():
    return _collect_garbage
