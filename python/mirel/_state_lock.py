"""The lock of a mirel.sklearn estimator's fitted state (private).

``StateLock`` is native (``mirel._query``): readers (transform) share the state; a writer (fit)
waits for them to end and they wait for it. A waiting writer holds back new readers, so fit is
not starved. A thread that already reads may read again (a callable metric calling transform);
it may not write, nor may a writer re-enter: those raise instead of waiting for themselves. A
writer can become a reader in one step (``hold.downgrade()``), so fit_transform's transform
sees the state its fit made.

Each hold is taken and recorded in one native call (``__enter__``) and given back in one
(``__exit__``): an asynchronous exception (Ctrl-C, an alarm handler that raises) cannot strand
a hold between two bytecodes, and a wait it interrupts leaves nothing behind. In a forked child
the holds and waits of the threads that did not survive the fork are dropped.
"""

from mirel._query import StateLock

__all__ = ["StateLock", "state_lock_of"]


def state_lock_of(estimator):
    """The estimator's own lock, made on first use. ``dict.setdefault`` is one step under the
    interpreter lock, so two threads racing here share one lock, and no lock is needed (one
    that a fork or an interrupt could leave held)."""
    lock = estimator.__dict__.get("_lock")
    if lock is None:
        lock = estimator.__dict__.setdefault("_lock", StateLock())
    return lock
