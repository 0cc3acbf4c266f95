"""The candidate index behind mirel.sklearn.KNNImputer(algorithm="ivf") (private)."""

from typing import Any

RECALL_SAMPLE_ROWS: int
RECALL_SAMPLE_PAIRS: float
RECALL_SAMPLE_MIN_ROWS: int
RECALL_MARGIN_SE: float
NO_GAIN_FRACTION: float
MAX_NEIGHBOURS: int
FITTED_ATTRIBUTES: tuple[str, ...]

def sample_rows(fitted_rows: int) -> int: ...
def default_lists(rows: int) -> int: ...

class CandidateIndex:
    def __init__(
        self,
        engine: Any,
        donors: Any,
        probe: int,
        recall: float,
        cells: int,
        rows: int,
        measured_fraction: float,
        used: bool,
    ) -> None: ...
    @property
    def lists(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    @classmethod
    def fit(
        cls,
        donors: Any,
        fit_X: Any,
        valid: Any,
        n_neighbors: int,
        target: float,
        n_lists: int | None,
        rng: Any,
        n_threads: int = ...,
    ) -> CandidateIndex: ...
    def serves(self, k: int) -> bool: ...
    def impute(self, work: Any, k: int, weights: str, n_threads: int, report: Any) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def set_fitted(estimator: Any, index: CandidateIndex | None) -> None: ...
