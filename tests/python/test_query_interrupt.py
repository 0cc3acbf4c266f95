"""A raising signal handler (Ctrl-C, an alarm) stops the threaded query pass of mirel._query on
every interpreter (PyPy's PyErr_CheckSignals runs no handler; the pass must still see it), and
the Donors object works afterwards. No scikit-learn needed, so it runs on PyPy too."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = """
import signal
import numpy as np
from mirel import _query

class Tick(Exception):
    pass

def tick(*_):
    raise Tick

rng = np.random.default_rng(8)
fitted = rng.normal(size=(200_000, 20))
fitted[rng.random(fitted.shape) < 0.01] = np.nan
donors = _query.Donors(fitted)
query = rng.normal(size=(4000, 20))
query[:, 3] = np.nan
small = query[:10].copy()
want = small.copy()
_query.Donors(fitted[:500]).impute_parallel(want, 5, "uniform", 2)
signal.signal(signal.SIGALRM, tick)
signal.setitimer(signal.ITIMER_REAL, 0.3)
try:
    donors.impute_parallel(query, 5, "uniform", {n_threads})
except Tick:
    pass
else:
    raise SystemExit("the pass ended before the handler raised")
got = small.copy()
_query.Donors(fitted[:500]).impute_parallel(got, 5, "uniform", {n_threads})
assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
print("ok")
"""


@pytest.mark.parametrize("n_threads", [1, 2])
def test_a_raising_signal_handler_stops_the_threaded_pass(n_threads):
    try:
        done = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(SCRIPT.format(n_threads=n_threads))],
            capture_output=True,
            text=True,
            timeout=300,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the script hung: {exc.stdout!r} {exc.stderr!r}")
    assert done.returncode == 0 and done.stdout.strip().endswith("ok"), (done.stdout, done.stderr)
