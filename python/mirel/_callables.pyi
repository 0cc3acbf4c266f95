"""The callable-metric and callable-weights paths of mirel.sklearn (private)."""

from typing import Any

def impute(
    rows: Any,
    work: Any,
    X: Any,
    cells: Any,
    k: int,
    *,
    metric: Any,
    weights: Any,
    missing_values: Any,
    fitted_marked: Any,
    ensure_all_finite: Any,
    report: Any,
) -> None: ...
def rows_of(donors: Any) -> tuple[Any, Any]: ...
def fitted_rows(estimator: Any) -> tuple[Any, Any]: ...
def impute_for(estimator: Any, work: Any, X: Any, cells: Any, k: int, report: Any) -> None: ...
