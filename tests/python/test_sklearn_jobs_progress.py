"""mirel.sklearn.KNNImputer with any n_jobs, however large (no crash, the bits of one thread),
and progress that moves while threads work, on every path of a threaded pass."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")
from mirel.sklearn import KNNImputer  # noqa: E402

WAIT = 120  # seconds: a crash or a hang fails the test instead of the suite


def table(rng, rows, cols, rate):
    x = rng.normal(size=(rows, cols))
    x[rng.random((rows, cols)) < rate] = np.nan
    return x


@pytest.mark.parametrize("n_jobs", [2**60, 2**61, 2**62, 3 * 2**61, 2**63 - 1])
@pytest.mark.parametrize("through", ["n_jobs", "parallel_config"])
def test_a_huge_n_jobs_runs_the_pass_and_gives_the_bits_of_one_thread(n_jobs, through):
    """In a subprocess: a thread count whose product with the chunks per worker wraps past the
    machine's word once killed the process (a division by zero)."""
    if through == "parallel_config":
        call = f"""
            with parallel_config(n_jobs={n_jobs}):
                outs = [KNNImputer(n_neighbors=4).fit_transform(x),
                        KNNImputer(n_neighbors=4).fit(x).transform(q)]
        """
    else:
        call = f"""
            outs = [KNNImputer(n_neighbors=4, n_jobs={n_jobs}).fit_transform(x),
                    KNNImputer(n_neighbors=4, n_jobs={n_jobs}).fit(x).transform(q)]
        """
    code = (
        textwrap.dedent(
            """
        import numpy as np
        from joblib import parallel_config
        from mirel.sklearn import KNNImputer
        rng = np.random.default_rng(5)
        x = rng.normal(size=(3000, 6)); x[rng.random(x.shape) < 0.1] = np.nan
        q = rng.normal(size=(2000, 6)); q[rng.random(q.shape) < 0.2] = np.nan
        """
        )
        + textwrap.dedent(call)
        + textwrap.dedent(
            """
        want = [KNNImputer(n_neighbors=4, n_jobs=1).fit_transform(x),
                KNNImputer(n_neighbors=4, n_jobs=1).fit(x).transform(q)]
        for o, w in zip(outs, want):
            assert np.array_equal(o.view(np.uint64), w.view(np.uint64))
        print("same bits")
        """
        )
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=WAIT)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "same bits"


@pytest.mark.parametrize("call", ["fit_transform", "fit_then_transform", "transform_other"])
def test_progress_moves_while_the_threads_work(call):
    """The callable sees counts between 0 and the rows before the end, rising, and ends at every
    row. The polls come every 0.1 s: a pass seen by fewer than three is run on four times the
    rows (no timing is asserted)."""
    rng = np.random.default_rng(21)
    seen = []
    for rows in (20000, 80000, 320000):
        x = table(rng, rows, 8, 0.1)
        seen.clear()
        est = KNNImputer(n_neighbors=5, n_jobs=2, progress=lambda d, t: seen.append((d, t)))
        if call == "fit_transform":
            est.fit_transform(x)
        elif call == "fit_then_transform":
            est.fit(x).transform(x)
        else:
            est.fit(table(rng, 2000, 8, 0.1)).transform(x)
        assert seen[-1] == (rows, rows)
        assert all(t == rows for _, t in seen)
        done = [d for d, _ in seen]
        assert done == sorted(done)
        during = [d for d in done[:-1] if d < rows]
        if len(during) >= 3:
            break
    assert any(0 < d < rows for d in during), seen


@pytest.mark.parametrize(
    ("method", "label"), [("fit_transform", "KNNImputer.fit_transform"), ("transform", "KNNImputer.transform")]
)
def test_the_progress_bar_names_the_call(method, label, capsys):
    pytest.importorskip("tqdm", reason="progress=True needs tqdm")
    x = table(np.random.default_rng(3), 200, 4, 0.2)
    est = KNNImputer(n_jobs=2, progress=True)
    if method == "fit_transform":
        est.fit_transform(x)
    else:
        est.fit(x)
        capsys.readouterr()
        est.transform(x)
    err = capsys.readouterr().err
    assert label in err
    assert ("KNNImputer.transform" in err) == (label == "KNNImputer.transform")
