"""Checked by mypy --strict (scripts/ci.d/22-typing.sh): the correct uses type-check, and every
misuse below is reported, since --strict makes an unused `type: ignore` an error."""

import numpy as np
import numpy.typing as npt
import pandas as pd

from mirel import KnnImputer

X: npt.NDArray[np.float64] = np.array([[1.0, np.nan], [2.0, 20.0], [3.0, 30.0]])

imp = KnnImputer()
imp = KnnImputer(3, "expected_distance", "distance")
imp = KnnImputer(k=np.int64(2), metric="nan_euclid", weights="uniform")
same: KnnImputer = imp.fit(X)
filled: npt.NDArray[np.float64] = imp.fit(X).transform(X)
from_frame: npt.NDArray[np.float64] = imp.fit(pd.DataFrame(X)).transform(pd.DataFrame(X))
imp.k = 4
count: int = imp.k

KnnImputer(weights="Uniform")  # type: ignore[arg-type]
KnnImputer(metric="euclid")  # type: ignore[arg-type]
KnnImputer(k=2.0)  # type: ignore[arg-type]
KnnImputer(n_neighbors=2)  # type: ignore[call-arg]
imp.fit([[1.0, 2.0]])  # type: ignore[arg-type]
imp.transform("table.csv")  # type: ignore[arg-type]
imp.k = "3"  # type: ignore[assignment]
_ = imp.metric  # type: ignore[attr-defined]
as_list: list[float] = imp.transform(X)  # type: ignore[assignment]


class Sub(KnnImputer):  # type: ignore[misc]
    pass


# mirel.sklearn: scikit-learn's parameters, keyword-only.
from mirel.sklearn import KNNImputer  # noqa: E402

sk = KNNImputer(n_neighbors=3, weights="distance", keep_empty_features=True)
fitted_sk: KNNImputer = sk.fit(X)
sk_out = sk.fit(X).transform(pd.DataFrame(X))
sk_shape: tuple[int, ...] = sk.fit_transform(X).shape  # an array or a DataFrame, not Any
sk_list: list[float] = sk.transform(X)  # type: ignore[assignment]
names = sk.get_feature_names_out()
sk.n_neighbors = 4

KNNImputer(3)  # type: ignore[call-arg]
KNNImputer(weights="far")  # type: ignore[arg-type]
KNNImputer(n_neighbors="3")  # type: ignore[arg-type]
