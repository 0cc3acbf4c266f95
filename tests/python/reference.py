"""A plain-Python model of the imputation pass, written from the rules and nothing else.

Python floats are IEEE doubles with correctly rounded + - * / and math.sqrt, and Python never
fuses a multiply with an add, so this model gives the engine's results bit for bit. It is slow
(pure Python, R^2 * C per table) and meant for small tables in tests.
"""

import math
import struct

INF = float("inf")
SELF_DISTANCE = 1.7976931348623157e308
BOTH_MISSING = 0.333


class ReferencePanic(Exception):
    """An internal failure, with the message the module's PanicException carries."""


class ReferenceUnknownMetric(Exception):
    """The metric-name error, raised as TypeError by transform."""


def isnan(x):
    return x != x


def divide(a, b):
    # Python raises on division by zero where IEEE gives +-inf or NaN.
    if b == 0.0:
        if a == 0.0 or isnan(a):
            return math.nan
        sign = math.copysign(1.0, a) * math.copysign(1.0, b)
        return math.copysign(INF, sign)
    return a / b


def nan_euclid(first, second):
    n = len(first)
    if n == 0:
        return INF
    if len(second) < n:
        raise ReferencePanic(f"index out of bounds: the len is {len(second)} but the index is {len(second)}")
    total = 0.0
    present = 0
    for a, b in zip(first, second):
        if not isnan(a) and not isnan(b):
            present += 1
            d = a - b
            total = total + d * d
    if present == 0:
        return INF
    return total * (float(n) / float(present))


def expected_distance(first, second):
    n = len(first)
    missing_sum = 0.0
    square_sum = 0.0
    if n:
        if len(second) < n:
            raise ReferencePanic(f"index out of bounds: the len is {len(second)} but the index is {len(second)}")
        for a, b in zip(first, second):
            if isnan(a):
                missing_sum = missing_sum + (BOTH_MISSING if isnan(b) else _fmax(b, 1.0 - b))
            elif isnan(b):
                missing_sum = missing_sum + _fmax(a, 1.0 - a)
            else:
                d = a - b
                square_sum = square_sum + d * d
    return missing_sum + math.sqrt(square_sum)


def _fmax(x, y):
    if isnan(x):
        return y
    if isnan(y):
        return x
    return y if x < y else x


METRICS = {"nan_euclid": nan_euclid, "expected_distance": expected_distance}


def rank_key(d):
    """IEEE total order with the sign of a NaN dropped, so every NaN ranks after +inf."""
    (bits,) = struct.unpack("<Q", struct.pack("<d", d))
    if isnan(d):
        bits &= ~(1 << 63)
    return (~bits & 0xFFFFFFFFFFFFFFFF) if bits >> 63 else bits | (1 << 63)


def get_weights(weights, k, distances):
    if weights == "uniform":
        w = divide(1.0, float(k))
        return [w] * len(distances)
    if weights == "distance":
        return [divide(1.0, d) for d in distances]
    raise ReferencePanic(f"Unknown weight {weights}")


def average(fitted, k, order, columns, weights):
    result = [0.0] * len(columns)
    limit = 1 if k == 0 else k
    for j, col in enumerate(columns):
        used = 0
        for r in order:
            v = fitted[r][col]
            if isnan(v):
                continue
            result[j] = result[j] + v * weights[r]
            used += 1
            if used == limit:
                break
    return result


def row_access(flat, rows, cols, i):
    length = rows * cols
    start = i * cols
    end = start + cols
    if end <= length:
        return flat[start:end]
    if start > length:
        raise ReferencePanic(f"range start index {start} out of range for slice of length {length}")
    raise ReferencePanic(f"range end index {end} out of range for slice of length {length}")


def impute_reference(fitted, data, input_rows, k, metric="nan_euclid", weights="uniform"):
    """Impute the flat row-major `data` against the 2-D `fitted` matrix.

    `input_rows` is the input's own row count. Returns the result as a list of floats, or raises
    ReferenceUnknownMetric / ReferencePanic with the module's messages.
    """
    fitted_rows = [list(map(float, row)) for row in fitted]
    R = len(fitted_rows)
    C = int(fitted.shape[1]) if hasattr(fitted, "shape") else (len(fitted_rows[0]) if R else 0)
    flat = [v for row in fitted_rows for v in row]
    fn = METRICS.get(metric)
    if fn is None:
        raise ReferenceUnknownMetric(f"{metric} is a unknown metric")
    data = [float(v) for v in data]
    result = list(data)
    n = len(data)
    if n == 0:
        return result
    if C == 0:
        if any(isnan(v) for v in data):
            raise ReferencePanic("attempt to divide by zero")
        return result
    p = 0
    while p < n:
        if not isnan(data[p]):
            p += 1
            continue
        r = p // C
        missing = [c for c, q in zip(range(p - r * C, C), range(p, n)) if isnan(data[q])]
        reference = row_access(flat, R, C, r)
        distances = [SELF_DISTANCE if t == r else fn(reference, fitted_rows[t]) for t in range(R)]
        if input_rows > R and input_rows >= 2:
            raise ReferencePanic(f"index out of bounds: the len is {R} but the index is {R}")
        order = sorted(range(input_rows), key=lambda i: (rank_key(distances[i]), i))
        w = get_weights(weights, k, distances)
        fill = average(fitted_rows, k, order, missing, w)
        for c, v in zip(missing, fill):
            result[r * C + c] = v
        p = r * C + C
    return result
