"""Hostile inputs: every call ends in a defined exception or a correct result, and the imputer
stays usable and unchanged by every failed call."""

import numpy as np
import pytest

import mirel
from conftest import NAN, PanicException

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
