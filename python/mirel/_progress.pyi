"""The progress parameter of mirel.sklearn.KNNImputer (private)."""

from typing import Any, Callable

def reporter(
    progress: Any, total: int, call: str = "transform"
) -> tuple[Callable[[int, int], Any] | None, Callable[[], Any] | None]: ...
