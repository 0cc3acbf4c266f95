"""The module against the plain-Python model of the pass (reference.py), bit for bit, on random
tables built to hit the awkward cases: NaN, infinities, -0.0, ties, all-missing rows and columns,
fewer or more input rows than fitted, k from 0 to beyond the row count."""

import numpy as np
import pytest

import mirel
from conftest import PanicException
from reference import ReferencePanic, ReferenceUnknownMetric, impute_reference

KnnImputer = mirel.KnnImputer
SPECIALS = np.array([np.inf, -np.inf, -0.0, 0.0, 5e-324, 1e308, -1e308])


def random_table(rng, rows, cols, nan_rate):
    kind = rng.integers(4)
    if kind == 0:
        values = rng.normal(size=(rows, cols))
    elif kind == 1:  # small integers: many exactly equal distances
        values = rng.integers(-2, 3, size=(rows, cols)).astype(np.float64)
    elif kind == 2:  # values near 0.5, where max(v, 1 - v) matters
        values = rng.uniform(-1.0, 2.0, size=(rows, cols))
    else:
        values = rng.choice(np.concatenate([SPECIALS, [1.0, 2.0, 3.0]]), size=(rows, cols))
    values[rng.random((rows, cols)) < nan_rate] = np.nan
    if rows and rng.random() < 0.3:
        values[rng.integers(rows)] = np.nan
    if cols and rng.random() < 0.3:
        values[:, rng.integers(cols)] = np.nan
    if rng.random() < 0.2:
        values[rng.random((rows, cols)) < 0.05] = rng.choice(SPECIALS)
    return values


def expected_outcome(fitted, data, k, metric, weights):
    try:
        flat = impute_reference(fitted, data.ravel().tolist(), data.shape[0], k, metric, weights)
        return "ok", flat
    except ReferencePanic as exc:
        return "panic", str(exc)
    except ReferenceUnknownMetric as exc:
        return "metric", str(exc)


def actual_outcome(imputer, data):
    try:
        return "ok", imputer.transform(data)
    except PanicException as exc:
        return "panic", str(exc)
    except TypeError as exc:
        return "metric", str(exc)
    except ValueError as exc:
        return "shape", str(exc)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


CASES = [
    (seed, metric, weights)
    for seed in range(40)
    for metric in ("nan_euclid", "expected_distance")
    for weights in ("uniform", "distance")
]


@pytest.mark.parametrize("seed, metric, weights", CASES)
def test_random_tables_match_the_reference(seed, metric, weights):
    rng = np.random.default_rng(seed)
    rows = int(rng.choice([0, 1, 2, 3, 7, 19, 20, 21, 22, 33, 45]))
    cols = int(rng.choice([0, 1, 2, 3, 5, 8]))
    fitted = random_table(rng, rows, cols, nan_rate=rng.uniform(0.0, 0.5))
    k = int(rng.choice([0, 1, 2, 3, 5, rows + 3]))
    imputer = KnnImputer(k=k, metric=metric, weights=weights).fit(fitted)

    shape_kind = rng.integers(5)
    if shape_kind == 0 or rows * cols == 0:
        data = fitted  # the usual call: transform the fitted table
    elif shape_kind == 1:
        data = random_table(rng, rows, cols, nan_rate=0.2)  # other values, same shape
    elif shape_kind == 2 and rows % 2 == 0 and rows:
        data = random_table(rng, rows // 2, cols * 2, nan_rate=0.2)  # fewer rows, same cells
    elif shape_kind == 3 and cols % 2 == 0 and cols:
        data = random_table(rng, rows * 2, cols // 2, nan_rate=0.1)  # more rows, same cells
    else:
        data = random_table(rng, max(rows + int(rng.integers(-2, 3)), 0), cols, nan_rate=0.2)

    want = expected_outcome(fitted, data, k, metric, weights)
    got = actual_outcome(imputer, data)
    if want[0] == "ok" and len(want[1]) != rows * cols:
        # the pass succeeded but the cell count does not fit the fitted shape
        assert got[0] == "shape"
        return
    assert got[0] == want[0], (got, want)
    if want[0] == "ok":
        assert got[1].shape == (rows, cols)
        assert bits(got[1].ravel()).tolist() == bits(want[1]).tolist()
    else:
        assert got[1] == want[1]


@pytest.mark.parametrize("seed", range(60))
def test_mismatched_shapes_fail_as_the_full_pass_does(seed):
    # Inputs whose cell count does not fit the fitted shape: the pass's own failures (unknown
    # metric, zero columns, a missing cell beyond the fitted rows, more candidates than fitted
    # rows) come first, in its order and with its text; otherwise the shape error.
    rng = np.random.default_rng(1000 + seed)
    rows = int(rng.integers(0, 6))
    cols = int(rng.integers(0, 5))
    fitted = random_table(rng, rows, cols, nan_rate=0.3)
    metric = str(rng.choice(["nan_euclid", "expected_distance", "nan_euclid", "cosine"]))
    imputer = KnnImputer(k=int(rng.integers(0, 4)), metric=metric).fit(fitted)
    for _ in range(20):
        shape = (int(rng.integers(0, rows + 4)), int(rng.integers(0, cols + 4)))
        data = random_table(rng, *shape, nan_rate=float(rng.choice([0.0, 0.05, 0.4])))
        want = expected_outcome(fitted, data, imputer.k, metric, "uniform")
        got = actual_outcome(imputer, data)
        if want[0] == "ok":
            if data.size == rows * cols:
                assert got[0] == "ok"
                assert bits(got[1].ravel()).tolist() == bits(want[1]).tolist()
            else:
                shape_error = (
                    "ShapeError/OutOfBounds: out of bounds indexing"
                    if data.size < rows * cols
                    else "ShapeError/IncompatibleShape: incompatible shapes"
                )
                assert got == ("shape", shape_error)
        else:
            assert got == want, (shape, data)
