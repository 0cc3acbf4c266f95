import gc
import platform

import numpy as np
import pytest

import mirel

IS_PYPY = platform.python_implementation() == "PyPy"

# Reference counts exist only on CPython; elsewhere such tests skip.
cpython_only = pytest.mark.skipif(IS_PYPY, reason="needs CPython's reference counts")


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


def table(rows):
    return np.array(rows, dtype=np.float64)
