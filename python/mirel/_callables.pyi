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
