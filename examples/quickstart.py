"""Impute the missing cells of a small table and print it before and after."""

import numpy as np

from mirel import KnnImputer

X = np.array(
    [
        [1.0, 10.0, 0.5],
        [2.0, np.nan, 0.7],
        [3.0, 30.0, np.nan],
        [4.0, 40.0, 0.9],
        [np.nan, 50.0, 1.1],
    ]
)

imputer = KnnImputer(k=2, metric="nan_euclid", weights="uniform")
filled = imputer.fit(X).transform(X)

np.set_printoptions(precision=4, suppress=True)
print("input:")
print(X)
print("imputed (k=2, nan_euclid, uniform):")
print(filled)
assert not np.isnan(filled).any()
