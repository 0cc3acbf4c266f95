"""The ``progress`` parameter of mirel.sklearn's estimators (private): a ``tqdm`` bar, or the
caller's callable, fed ``(done_rows, total_rows)`` by the pass."""


def reporter(progress, total, desc):
    """(callback for the engine, closer) for the `progress` parameter; (None, None) when off.
    `desc` is the bar's label, the estimator and its method ("KNNImputer.fit_transform")."""
    if progress is False or progress is None:
        return None, None
    if progress is True:
        try:
            from tqdm.auto import tqdm
        except ImportError as exc:
            raise ImportError("progress=True needs tqdm: pip install tqdm") from exc
        bar = tqdm(total=total, unit="row", desc=desc)

        def update(done, _total):
            bar.update(done - bar.n)

        return update, bar.close
    return progress, None
