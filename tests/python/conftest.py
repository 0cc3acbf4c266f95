"""Shared helpers for the Python suites, on every interpreter the module runs on (CPython, PyPy).

- ``cpython_only`` (``from conftest import cpython_only``): decorator for a test that needs
  ``sys.getrefcount``. PyPy's objects have no visible reference count, so such tests skip
  there, and only there.
- ``collect()``: objects die late on PyPy; collect before any liveness check.
- ``refusal(name)``: what fit and transform raise for an input they do not accept, whose type
  is named ``name``: the "Unsupported type" TypeError, or pandas' import error, unchanged, where
  pandas is not installed (as on PyPy, for which pandas publishes no wheel).
- Hypothesis runs without its per-example deadline: PyPy's JIT takes its time on the first
  examples, and speed is measured by the benchmarks, never by the tests.
"""

import gc
import platform
import re
import sys

import numpy as np
import pytest

import mirel

IS_PYPY = platform.python_implementation() == "PyPy"

# Reference counts exist only on CPython; elsewhere such tests skip.
cpython_only = pytest.mark.skipif(
    not hasattr(sys, "getrefcount"),
    reason=f"needs sys.getrefcount, which {platform.python_implementation()} does not provide",
)

try:
    from hypothesis import settings as _hypothesis_settings
except ImportError:  # suites that use hypothesis import it themselves and say so
    pass
else:
    _hypothesis_settings.register_profile("mirel", deadline=None)
    _hypothesis_settings.load_profile("mirel")


def _panic_exception_type():
    # The type is not published by the module; a refused weights name produces it.
    try:
        mirel.KnnImputer(weights="")
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("an unknown weights name was accepted")


PanicException = _panic_exception_type()


@pytest.fixture
def panic():
    return PanicException


def collect():
    """Objects die late on PyPy: collect before any liveness check."""
    for _ in range(3):
        gc.collect()


def _under_sanitizer():
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


# AddressSanitizer keeps freed memory in quarantine, so the process's size says nothing there.
UNDER_SANITIZER = _under_sanitizer()

NAN = float("nan")

try:
    import pandas  # noqa: F401
except ImportError:
    HAS_PANDAS = False
else:
    HAS_PANDAS = True

UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame"


def refusal(name):
    if HAS_PANDAS:
        return pytest.raises(TypeError, match="^" + re.escape(UNSUPPORTED.format(name)) + "$")
    return pytest.raises(ModuleNotFoundError, match="pandas")


def table(rows):
    return np.array(rows, dtype=np.float64)
