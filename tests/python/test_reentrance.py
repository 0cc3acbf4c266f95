"""Calls back into the same imputer while one of its calls runs Python code (a DataFrame's
to_numpy): the borrow rules make every overlap either succeed or fail cleanly."""

import sys
import types

import numpy as np
import pytest

import mirel
from conftest import NAN, PanicException, table

try:
    import pandas as pd
except ImportError:
    # pandas publishes no wheel for PyPy. The conversion only imports "pandas", looks up its
    # DataFrame, runs the instance check and calls to_numpy, so a stand-in module with a plain
    # DataFrame class drives the same call-backs there.
    class DataFrame:
        def __init__(self, *args, **kwargs):
            pass

    pd = types.ModuleType("pandas")
    pd.DataFrame = DataFrame


@pytest.fixture(autouse=True)
def _pandas_module(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", pd)


KnnImputer = mirel.KnnImputer
FITTED = table([[1.0, 10.0], [2.0, NAN], [3.0, 30.0], [4.0, 40.0]])


def make_frame(callback):
    class CallingBack(pd.DataFrame):
        def to_numpy(self, *args, **kwargs):
            callback()
            return FITTED.copy()

    return CallingBack({"a": [0.0]})


def run_inside_transform(imputer, action):
    outcome = {}

    def callback():
        try:
            outcome["value"] = action()
        except BaseException as exc:  # noqa: BLE001 - PanicException is what we look for
            outcome["error"] = exc

    result = imputer.transform(make_frame(callback))
    return result, outcome


def test_fit_inside_transform_panics_and_changes_nothing():
    imputer = KnnImputer(k=2).fit(FITTED)
    result, outcome = run_inside_transform(imputer, lambda: imputer.fit(np.zeros((9, 9))))
    assert type(outcome["error"]) is PanicException
    assert str(outcome["error"]) == "Already borrowed: PyBorrowMutError"
    assert result[1, 1] == 20.0
    assert imputer.transform(FITTED).shape == (4, 2)  # still the first fit


def test_setting_k_inside_transform_is_a_runtime_error():
    imputer = KnnImputer(k=2).fit(FITTED)

    def assign():
        imputer.k = 3

    result, outcome = run_inside_transform(imputer, assign)
    assert type(outcome["error"]) is RuntimeError
    assert str(outcome["error"]) == "Already borrowed"
    assert imputer.k == 2
    assert result[1, 1] == 20.0


def test_reading_k_and_nested_transform_succeed():
    imputer = KnnImputer(k=2).fit(FITTED)
    result, outcome = run_inside_transform(imputer, lambda: (imputer.k, imputer.transform(FITTED)))
    k, nested = outcome["value"]
    assert k == 2
    assert nested[1, 1] == 20.0
    assert result[1, 1] == 20.0


def test_borrow_is_released_after_success_and_failure():
    imputer = KnnImputer(k=2).fit(FITTED)

    class Failing(pd.DataFrame):
        def to_numpy(self, *args, **kwargs):
            raise LookupError("conversion failed")

    with pytest.raises(LookupError):
        imputer.transform(Failing({"a": [0.0]}))
    run_inside_transform(imputer, lambda: imputer.k)
    imputer.k = 3  # an exclusive borrow is possible again
    imputer.fit(FITTED)
    assert imputer.transform(FITTED)[1, 1] == 26.666666666666664


def test_fit_inside_fit_conversion_is_allowed_and_the_outer_fit_wins():
    imputer = KnnImputer(k=1)

    class Refitting(pd.DataFrame):
        def to_numpy(self, *args, **kwargs):
            imputer.fit(np.zeros((2, 2)))
            return np.arange(6.0).reshape(3, 2)

    imputer.fit(Refitting({"a": [0.0]}))
    assert imputer.transform(np.ones((3, 2))).shape == (3, 2)


def test_transform_of_an_unfitted_imputer_inside_fit():
    imputer = KnnImputer()
    seen = []

    class Probing(pd.DataFrame):
        def to_numpy(self, *args, **kwargs):
            try:
                imputer.transform(FITTED)
            except TypeError as exc:
                seen.append(str(exc))
            return FITTED.copy()

    imputer.fit(Probing({"a": [0.0]}))
    assert seen == ["Imputer is not fitted"]
