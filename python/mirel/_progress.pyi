"""The progress parameter of mirel.sklearn's estimators (private)."""

from typing import Any, Callable

def reporter(
    progress: Any, total: int, desc: str
) -> tuple[Callable[[int, int], Any] | None, Callable[[], Any] | None]: ...
