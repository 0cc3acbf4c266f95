"""mirel.sklearn.KNNImputer's state lock under hostile timing: fit_transform imputes from the
state its own fit made even when another fit waits at that moment; a burst of interrupts over
fit, transform and fit_transform leaves the estimator working and its results unchanged; a
child forked while other threads read, wait to write or build keeps a working estimator.
Whatever can hang runs in a subprocess with a timeout (or a thread with a bounded join)."""

import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6", reason="mirel.sklearn needs scikit-learn 1.6+")
from mirel.sklearn import KNNImputer  # noqa: E402

WAIT = 60  # seconds: a bound for every wait, so that a fault fails instead of hanging


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def table(rng, rows, cols, rate=0.25):
    x = rng.normal(size=(rows, cols))
    x[rng.random((rows, cols)) < rate] = np.nan
    return x


def eventually(predicate):
    for _ in range(WAIT * 200):
        if predicate():
            return True
        threading.Event().wait(0.005)
    return False


def run_script(body, *args, timeout=300):
    try:
        done = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(body), *map(str, args)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the script hung (no end within {timeout} s): {exc.stdout!r} {exc.stderr!r}")
    lines = done.stdout.strip().splitlines()
    assert done.returncode == 0 and lines and lines[-1] == "ok", (done.returncode, done.stdout, done.stderr)
    return lines


class FitsOnReading:
    """An array-like that, when read by fit_transform's validation, starts a fit of `other` on
    another thread and returns once that fit waits for the lock."""

    def __init__(self, est, data, other):
        self.est, self.data, self.other = est, data, other
        self.fitter = None

    def __array__(self, dtype=None, copy=None):
        if self.fitter is None:
            self.fitter = threading.Thread(target=self.est.fit, args=(self.other,), daemon=True)
            self.fitter.start()
            assert eventually(lambda: self.est._state_lock()._writers_waiting == 1)
        return self.data if dtype is None else self.data.astype(dtype)

    def __len__(self):
        return len(self.data)

    @property
    def shape(self):
        return self.data.shape


@pytest.mark.parametrize("other_cols", [6, 4], ids=["same width", "other width"])
def test_fit_transform_is_not_split_by_a_waiting_fit(other_cols):
    rng = np.random.default_rng(21)
    a = table(rng, 40, 6)
    other = table(rng, 30, other_cols) + 100.0
    want = KNNImputer(n_neighbors=3).fit(a).transform(a)
    want_other = KNNImputer(n_neighbors=3).fit(other).transform(other)
    est = KNNImputer(n_neighbors=3)
    arg = FitsOnReading(est, a, other)
    box = []
    t = threading.Thread(target=lambda: box.append(est.fit_transform(arg)), daemon=True)
    t.start()
    t.join(WAIT)
    assert box, "fit_transform did not end"
    assert np.array_equal(bits(box[0]), bits(want))
    arg.fitter.join(WAIT)
    assert not arg.fitter.is_alive()
    assert np.array_equal(bits(est.transform(other)), bits(want_other))  # then the waiting fit ran


def test_fit_transform_racing_fits_always_gives_its_own_fit():
    rng = np.random.default_rng(22)
    a, b = table(rng, 60, 5), table(rng, 50, 5) + 100.0
    want = bits(KNNImputer(n_neighbors=2, n_jobs=2).fit(a).transform(a))
    est = KNNImputer(n_neighbors=2, n_jobs=2)
    stop = threading.Event()
    wrong = []

    def fitter():
        while not stop.is_set():
            est.fit(b)

    def caller():
        for _ in range(150):
            if not np.array_equal(bits(est.fit_transform(a)), want):
                wrong.append(1)

    threads = [threading.Thread(target=fitter, daemon=True), threading.Thread(target=caller, daemon=True)]
    for t in threads:
        t.start()
    threads[1].join(WAIT * 4)
    stop.set()
    threads[0].join(WAIT)
    assert not any(t.is_alive() for t in threads)
    assert wrong == []


SETUP = """
import os, signal, sys, threading
import numpy as np
from mirel.sklearn import KNNImputer

WAIT = 60

def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64).copy()

def table(rng, rows, cols, rate=0.25):
    x = rng.normal(size=(rows, cols))
    x[rng.random((rows, cols)) < rate] = np.nan
    return x

def eventually(predicate):
    for _ in range(WAIT * 200):
        if predicate():
            return True
        threading.Event().wait(0.005)
    return False

def same(got, want):
    return np.array_equal(bits(got), want)

rng = np.random.default_rng(7)
A, B, Q = table(rng, 300, 6), table(rng, 200, 6), table(rng, 250, 6, 0.35)
def inverse(d):
    return 1.0 / (1.0 + d)
want_a = bits(KNNImputer(n_jobs=2).fit(A).transform(Q))
want_b = bits(KNNImputer(n_jobs=2).fit(B).transform(Q))
want_fa = bits(KNNImputer(n_jobs=2).fit_transform(A))
want_cb = bits(KNNImputer(weights=inverse).fit(B).transform(Q))
"""

STORM = (
    SETUP
    + """
wanted = int(sys.argv[1])
est = KNNImputer(n_jobs=2).fit(A)
stop = threading.Event()

class Tick(Exception):
    pass

armed = [False]

def tick(*_):
    if armed[0]:
        armed[0] = False
        raise Tick

def busy():  # another thread keeps the lock taken, so that interrupts land in waits too
    while not stop.is_set():
        est.transform(Q)
        est.fit(A)

def one(i):
    kind = i % 3
    if kind == 0:
        est.transform(Q)
    elif kind == 1:
        est.fit(A)
    else:
        est.fit_transform(A)

signal.signal(signal.SIGALRM, tick)
other = threading.Thread(target=busy)
other.start()
interrupted = calls = 0
signal.setitimer(signal.ITIMER_REAL, 0.0007, 0.0007)
while interrupted < wanted:
    try:
        armed[0] = True
        one(calls)
        armed[0] = False
    except Tick:
        interrupted += 1
    calls += 1
signal.setitimer(signal.ITIMER_REAL, 0, 0)
stop.set()
other.join(WAIT)
assert not other.is_alive(), "the other thread hangs"
assert est._state_lock()._writers_waiting == 0
# the same bits as before, from this thread and from another one
assert same(est.transform(Q), want_a)
assert same(est.fit_transform(A), want_fa)
box = []
t = threading.Thread(target=lambda: box.append(bits(est.fit(B).transform(Q))))
t.start()
t.join(WAIT)
assert box and np.array_equal(box[0], want_b), "fit and transform from another thread"
assert same(est.fit(A).transform(Q), want_a)
print("interrupted", interrupted, "calls", calls)
print("ok")
"""
)


def test_an_interrupt_storm_leaves_the_estimator_working_with_the_same_bits():
    lines = run_script(STORM, 600)
    assert lines[0].startswith("interrupted 600 ")


FORK = (
    SETUP
    + """
released = threading.Event()
inside = threading.Event()

def progress(done, total):
    inside.set()
    released.wait(WAIT)

est = KNNImputer(n_jobs=2, progress=progress).fit(A)
reader = threading.Thread(target=est.transform, args=(Q,))
reader.start()
assert inside.wait(WAIT)
writer = threading.Thread(target=est.fit, args=(B,))
writer.start()
assert eventually(lambda: est._state_lock()._writers_waiting == 1)
built = threading.Event()

def build():
    with est._state_lock().building:
        built.set()
        released.wait(WAIT)

builder = threading.Thread(target=build)
builder.start()
assert built.wait(WAIT)

pid = os.fork()
if pid == 0:
    code = 1
    try:
        est.set_params(progress=False)
        assert same(est.transform(Q), want_a), "transform in the child"
        assert same(est.fit(B).transform(Q), want_b), "fit in the child"
        est.set_params(weights=inverse)  # builds the row-major copy: takes `building`
        assert same(est.transform(Q), want_cb), "callable weights in the child"
        code = 0
    finally:
        os._exit(code)

released.set()
for t in (reader, writer, builder):
    t.join(WAIT)
    assert not t.is_alive()
for _ in range(WAIT * 200):
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    threading.Event().wait(0.005)
else:
    os.kill(pid, signal.SIGKILL)
    raise AssertionError("the child hung")
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
est.set_params(progress=False)
assert same(est.transform(Q), want_b), "the parent after its queued fit"
print("ok")
"""
)


def test_a_child_forked_amid_readers_writers_and_builders_keeps_a_working_estimator():
    run_script(FORK)
