"""The ``progress`` parameter of mirel.sklearn.KNNImputer (private): a ``tqdm`` bar, or the
caller's callable, fed ``(done_rows, total_rows)`` by the pass."""


def reporter(progress, total, call="transform"):
    """(callback for the engine, closer) for the `progress` parameter; (None, None) when off.
    `call` names the method in the bar's label ("fit_transform", "transform")."""
    if progress is False or progress is None:
        return None, None
    if progress is True:
        try:
            from tqdm import tqdm
        except ImportError as exc:
            raise ImportError("progress=True needs tqdm: pip install tqdm") from exc
        bar = tqdm(total=total, unit="row", desc=f"KNNImputer.{call}")

        def update(done, _total):
            bar.update(done - bar.n)

        return update, bar.close
    return progress, None
