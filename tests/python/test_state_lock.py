"""mirel._query.StateLock, the lock of mirel.sklearn's fitted state, on its own (no scikit-learn
needed, so it runs on PyPy too): readers share, a writer excludes, a waiting writer holds back
new readers, re-entrance raises, a write turns into a read with no writer in between; an
interrupt at any moment leaves no hold behind, and a forked child keeps only the forking
thread's holds. Whatever can hang runs in a subprocess with a timeout."""

import pickle
import subprocess
import sys
import textwrap
import threading

import pytest

from mirel._query import StateLock

WAIT = 60  # seconds: a bound for every wait, so that a fault fails instead of hanging

READ_IN_WRITE = "KNNImputer.{} was called from inside fit of the same estimator"
WRITE_IN_HOLD = "KNNImputer.fit was called from inside fit or transform of the same estimator"


def run_script(body, *args, timeout=240):
    """Runs `body` in a fresh interpreter; its last line of output must be 'ok'."""
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


def eventually(predicate):
    """Waits (bounded) until predicate() holds; a wait, never a timed assertion."""
    for _ in range(WAIT * 200):
        if predicate():
            return True
        threading.Event().wait(0.005)
    return False


def in_thread(body):
    box = []

    def run():
        try:
            box.append(("ok", body()))
        except BaseException as exc:  # noqa: BLE001 - handed to the test thread
            box.append(("error", exc))

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, box


@pytest.mark.parametrize("what", ["transform", "get_feature_names_out", "__getstate__"])
def test_reentrance_raises_with_the_estimator_messages(what):
    lock = StateLock()
    with lock.writing():
        with pytest.raises(RuntimeError, match=rf"^{READ_IN_WRITE.format(what)}$"):
            with lock.reading(what):
                pass
        with pytest.raises(RuntimeError, match=rf"^{WRITE_IN_HOLD}$"):
            with lock.writing():
                pass
    with lock.reading(what):
        with lock.reading():  # a reader may read again
            with pytest.raises(RuntimeError, match=rf"^{WRITE_IN_HOLD}$"):
                with lock.writing():
                    pass
    # all given back: a write from another thread goes through
    t, box = in_thread(lambda: lock.writing().__enter__().__exit__(None, None, None))
    t.join(WAIT)
    assert box == [("ok", False)]
    assert lock.reading().__class__.__name__ == "StateHold"


def test_writer_waits_for_readers_and_holds_back_new_ones_but_not_rereads():
    lock = StateLock()
    order = []
    reading = lock.reading()
    reading.__enter__()

    def write():
        with lock.writing():
            order.append("write")

    writer, wbox = in_thread(write)
    assert eventually(lambda: lock._writers_waiting == 1)
    # a new reader on another thread waits behind the waiting writer
    reader, rbox = in_thread(lambda: lock.reading().__enter__().__exit__(None, None, None) or order.append("read"))
    with lock.reading():  # this thread already reads: it may read again
        order.append("reread")
    assert order == ["reread"]
    reading.__exit__(None, None, None)
    writer.join(WAIT)
    reader.join(WAIT)
    assert wbox == [("ok", None)] and rbox == [("ok", None)]
    assert order == ["reread", "write", "read"]
    assert lock._writers_waiting == 0


def test_downgrade_turns_the_write_into_a_read_with_no_writer_between():
    lock = StateLock()
    state = ["mine"]
    seen = []
    with lock.writing() as hold:

        def write():
            with lock.writing():
                state[0] = "theirs"

        other, box = in_thread(write)
        assert eventually(lambda: lock._writers_waiting == 1)
        hold.downgrade()
        with lock.reading("transform"):  # now a reader: reads nest
            seen.append(state[0])
        with pytest.raises(RuntimeError, match=rf"^{WRITE_IN_HOLD}$"):
            lock.writing().__enter__()
        with pytest.raises(RuntimeError, match="^this thread does not write the state$"):
            hold.downgrade()
        seen.append(state[0])
    other.join(WAIT)
    assert seen == ["mine", "mine"] and state == ["theirs"]
    with pytest.raises(TypeError, match="^only a writing hold can be downgraded$"):
        lock.reading().downgrade()


def test_exit_without_a_hold_and_pickling_are_refused():
    lock = StateLock()
    for hold in (lock.reading(), lock.writing(), lock.building):
        with pytest.raises(RuntimeError, match="^this thread holds no such hold on the state lock$"):
            hold.__exit__(None, None, None)
    with pytest.raises(TypeError, match="^cannot pickle 'StateLock' object: each copy of an estimator makes its own$"):
        pickle.dumps(lock)
    with pytest.raises(TypeError, match=r"^StateLock\(\) takes"):
        StateLock(1)


def test_building_is_a_mutex_of_its_own():
    lock = StateLock()
    inside = []

    def build():
        with lock.building:
            inside.append(1)

    with lock.building:
        t, box = in_thread(build)
        with lock.reading():  # independent of the readers-writer part
            pass
        assert inside == []
        with pytest.raises(RuntimeError, match="^the state lock's building section was entered twice by one thread$"):
            lock.building.__enter__()
    t.join(WAIT)
    assert inside == [1] and box == [("ok", None)]


STORM = """
import signal, sys, threading
from mirel._query import StateLock

wanted = int(sys.argv[1])
lock = StateLock()
stop = threading.Event()

class Tick(Exception):
    pass

armed = [False]

def tick(*_):
    if armed[0]:
        armed[0] = False
        raise Tick

def busy():  # keeps the lock taken, so that interrupts land in waits too
    while not stop.is_set():
        with lock.writing() as hold:
            hold.downgrade()
        with lock.reading():
            pass
        with lock.building:
            pass

def one(i):
    kind = i % 4
    if kind == 0:
        with lock.reading():
            with lock.reading():
                pass
    elif kind == 1:
        with lock.writing():
            pass
    elif kind == 2:
        with lock.writing() as hold:
            hold.downgrade()
    else:
        with lock.building:
            pass

signal.signal(signal.SIGALRM, tick)
other = threading.Thread(target=busy)
other.start()
interrupted = calls = 0
signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
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
other.join(60)
assert not other.is_alive()
assert lock._writers_waiting == 0
# nothing stranded: every kind of hold is free for this thread and for another one
for i in range(4):
    one(i)
t = threading.Thread(target=lambda: [one(i) for i in range(4)])
t.start()
t.join(60)
assert not t.is_alive()
print("interrupted", interrupted, "calls", calls)
print("ok")
"""


def test_an_interrupt_storm_leaves_no_hold_behind():
    lines = run_script(STORM, 300)
    assert lines[0].startswith("interrupted 300 ")


FORK = """
import os, sys, threading
from mirel._query import StateLock

WAIT = 60
released = threading.Event()
mine, theirs = StateLock(), StateLock()

def eventually(predicate):
    for _ in range(WAIT * 200):
        if predicate():
            return True
        threading.Event().wait(0.005)
    return False

def hold(cm, entered):
    with cm:
        entered.set()
        released.wait(WAIT)

def start(cm):
    entered = threading.Event()
    t = threading.Thread(target=hold, args=(cm, entered))
    t.start()
    return t, entered

# Other threads: a reader and a builder of `theirs`, and a writer waiting for it; a writer
# waiting for `mine`, which this thread reads.
threads = []
for cm in (theirs.reading(), theirs.building):
    t, entered = start(cm)
    assert entered.wait(WAIT)
    threads.append(t)
threads.append(start(theirs.writing())[0])
assert eventually(lambda: theirs._writers_waiting == 1)
mine_read = mine.reading()
mine_read.__enter__()
threads.append(start(mine.writing())[0])
assert eventually(lambda: mine._writers_waiting == 1)

pid = os.fork()
if pid == 0:
    code = 1
    try:
        # the other threads' holds and waits are gone with them
        assert theirs._writers_waiting == 0 and mine._writers_waiting == 0
        with theirs.writing():
            pass
        with theirs.building:
            pass
        # this thread's own read survives the fork
        try:
            mine.writing().__enter__()
        except RuntimeError as exc:
            assert str(exc).startswith("KNNImputer.fit was called from inside"), exc
        else:
            raise AssertionError("the forking thread's read was lost")
        mine_read.__exit__(None, None, None)
        with mine.writing():
            pass
        code = 0
    finally:
        os._exit(code)

mine_read.__exit__(None, None, None)
released.set()
for t in threads:
    t.join(WAIT)
    assert not t.is_alive()
for _ in range(WAIT * 200):
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    threading.Event().wait(0.005)
else:
    os.kill(pid, 9)
    raise AssertionError("the child hung")
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
print("ok")
"""


def test_a_forked_child_keeps_only_the_forking_threads_holds():
    run_script(FORK)


INTERRUPTED_WAIT = """
import signal, threading
from mirel._query import StateLock

lock = StateLock()
entered, released = threading.Event(), threading.Event()

def read():
    with lock.reading():
        entered.set()
        released.wait(60)

class Tick(Exception):
    pass

def tick(*_):
    raise Tick

reader = threading.Thread(target=read)
reader.start()
assert entered.wait(60)
signal.signal(signal.SIGALRM, tick)
for hold in (lock.writing(), lock.writing()):
    ran = False
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with hold:  # waits for the reader until the handler raises
            ran = True
    except Tick:
        pass
    else:
        raise AssertionError("the wait was not interrupted")
    assert not ran and lock._writers_waiting == 0
# the withdrawn writer holds back no reader
other = threading.Thread(target=lambda: lock.reading().__enter__().__exit__(None, None, None))
other.start()
other.join(60)
assert not other.is_alive()
released.set()
reader.join(60)
with lock.writing():
    pass
print("ok")
"""


def test_an_interrupted_wait_withdraws_the_waiting_writer():
    run_script(INTERRUPTED_WAIT)


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs sys.getrefcount")
def test_holds_keep_no_reference_behind_on_any_path():
    lock = StateLock()
    what = "transform-" + str(len(sys.argv))  # a str of its own, not an interned one
    before = sys.getrefcount(lock), sys.getrefcount(what)
    for _ in range(1000):
        with lock.writing() as hold:
            hold.downgrade()
        with lock.reading(what):
            with pytest.raises(RuntimeError):
                with lock.writing():
                    pass
        with lock.building:
            pass
        with pytest.raises(RuntimeError):
            lock.reading().__exit__(None, None, None)
    del hold  # the last hold refers to its lock
    assert (sys.getrefcount(lock), sys.getrefcount(what)) == before
