"""Figures of mirel at its edges, for whatever mirel is importable (PYTHONPATH=<build>).

bench.py edges WHAT ...:

    python benchmarks/bench.py edges ctrlc ROWS [N_JOBS]   # SIGINT 1 s into mirel.sklearn transform
    python benchmarks/bench.py edges traced                # memory held by a 1 x 1,000,000 fit
    python benchmarks/bench.py edges empty ROWS            # KnnImputer, one column all NaN vs 10% NaN
    python benchmarks/bench.py edges onerow weights|metric # peak RSS of a one-row callable transform
    python benchmarks/bench.py edges callable-weights sk|mirel  # 3,000 x 10, n_neighbors=100000
    python benchmarks/bench.py edges rlimit N_JOBS [HEADROOM_MIB]  # transform under an address-space cap

Each prints the machine line and a markdown table; run the same command against two builds to
compare them.
"""

import os
import signal
import sys
import threading
import time

import numpy as np


def status(field):
    return [int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith(field)][0]


def ctrlc(rows, n_jobs=1):
    from mirel.sklearn import KNNImputer

    rng = np.random.default_rng(0)
    imp = KNNImputer(n_jobs=n_jobs).fit(rng.normal(size=(rows, 20)))
    query = rng.normal(size=(20000, 20))
    query[:, 3] = np.nan
    sent = []

    def fire():
        time.sleep(1.0)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=fire).start()
    try:
        imp.transform(query)
        outcome = "finished before the signal"
    except KeyboardInterrupt:
        outcome = f"KeyboardInterrupt {time.perf_counter() - sent[0]:.3f} s after SIGINT"
    return ["fitted", "n_jobs", "outcome"], [[f"{rows} x 20", str(n_jobs), outcome]], 1


def traced():
    import tracemalloc

    from mirel.sklearn import KNNImputer

    x = np.random.default_rng(0).random((1, 1_000_000))
    tracemalloc.start()
    imp = KNNImputer().fit(x)  # noqa: F841 - held while measured
    held, peak = tracemalloc.get_traced_memory()
    head = ["fitted", "traced held after fit", "traced peak", "held / table"]
    return head, [["1 x 1,000,000", f"{held / 2**20:.1f} MiB", f"{peak / 2**20:.1f} MiB", f"{held / x.nbytes:.2f}x"]], 1


def empty(rows):
    import mirel

    rng = np.random.default_rng(0)
    out = []
    for label, share in (("one column all NaN", 1.0), ("that column 10% NaN", 0.1)):
        x = rng.normal(size=(rows, 4))
        x[rng.random(rows) < share, 2] = np.nan
        start = time.perf_counter()
        mirel.KnnImputer(k=5).fit(x).transform(x)
        out.append([f"KnnImputer {rows} x 4", label, f"{time.perf_counter() - start:.3f} s"])
    return ["call", "table", "fit + transform"], out, 2


def onerow(kind):
    from mirel.sklearn import KNNImputer

    rng = np.random.default_rng(1)
    x = rng.normal(size=(100_000, 20))
    x[rng.random(x.shape) < 0.1] = np.nan
    query = x[:1].copy()
    query[0, 3] = np.nan

    def metric(a, b, missing_values=np.nan):
        ok = ~(np.isnan(a) | np.isnan(b))
        return float(np.sqrt(((a[ok] - b[ok]) ** 2).sum()))

    params = {"weights": lambda d: np.exp(-d)} if kind == "weights" else {"metric": metric}
    imp = KNNImputer(n_neighbors=5, **params).fit(x)
    imp.transform(query)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak RSS
    before = status("VmRSS")
    imp.transform(query)
    grown = (status("VmHWM") - before) / 2**20
    return (
        ["call", "callable", "peak RSS growth"],
        [["one-row transform, 100,000 fitted rows", kind, f"+{grown:.1f} MiB"]],
        2,
    )


def callable_weights(which):
    if which == "sk":
        from sklearn.impute import KNNImputer
    else:
        from mirel.sklearn import KNNImputer
    rng = np.random.default_rng(0)
    x = rng.normal(size=(3000, 10))
    x[rng.random(x.shape) < 0.1] = np.nan
    start = time.perf_counter()
    KNNImputer(n_neighbors=100000, weights=lambda d: np.exp(-0.5 * d**2)).fit_transform(x)
    wall = time.perf_counter() - start
    head = ["library", "3,000 x 10, n_neighbors=100000, callable weights", "peak RSS"]
    return head, [[which, f"{wall:.2f} s", f"{status('VmHWM') / 2**20:.0f} MiB"]], 1


def rlimit(n_jobs, headroom_mib=0):
    import resource

    from mirel.sklearn import KNNImputer

    x = np.random.default_rng(0).normal(size=(100_000, 20))
    x[::10, 3] = np.nan
    imp = KNNImputer(n_jobs=n_jobs, copy=False).fit(x)
    query = x.copy()
    old = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + headroom_mib * 2**20, old[1]))
    try:
        imp.transform(query)
        outcome = "completed"
    except MemoryError as exc:
        outcome = f"MemoryError: {exc}"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, old)
    again = imp.transform(x.copy())
    after = "ok" if not np.isnan(again).any() else "NaN left"
    head = ["n_jobs", "headroom", "transform under the cap", "transform afterwards"]
    return head, [[str(n_jobs), f"{headroom_mib} MiB", outcome, after]], 4


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv:
        sys.exit(__doc__)
    import tables as T

    what, args = argv[0], argv[1:]
    if what == "ctrlc":
        result = ctrlc(int(args[0]), int(args[1]) if len(args) > 1 else 1)
    elif what == "traced":
        result = traced()
    elif what == "empty":
        result = empty(int(args[0]))
    elif what == "onerow":
        result = onerow(args[0])
    elif what == "callable-weights":
        result = callable_weights(args[0])
    elif what == "rlimit":
        result = rlimit(int(args[0]), int(args[1]) if len(args) > 1 else 0)
    else:
        sys.exit(__doc__)
    head, rows, right = result
    print(T.machine())
    print()
    print(T.markdown(head, rows, right=right))
