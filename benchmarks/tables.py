"""The benchmark tables, the calls they are timed with and the measuring worker, defined once for
every subcommand of benchmarks/bench.py.

A table is named KIND-ROWSxCOLS, with -nanP for a NaN rate of P% other than the kind's usual one
(`spec("normal-300x12-nan20")`): any such name makes a table, the names below are the ones the
subcommands use. Kinds (fixed seed 12345, so every library gets the very same cells):

  normal      standard normal cells, NaN cells placed uniformly at random (usual rate 10%)
  lowrank     rank 4 (standard normal factors times a standard normal basis) plus noise of
              standard deviation 0.1 (usual rate 3%)
  digits      scikit-learn's bundled load_digits (1797 x 64, values 0..16) tiled to the row count,
              plus noise of standard deviation 0.25, so tiles are not exact copies (usual rate 3%)
  loaddigits  load_digits as bundled, no noise (usual rate 3%)

Rows of the structured kinds have near neighbours, as rows of real data do, so a distance loop
that stops measuring a candidate once it cannot be chosen has work to skip.

The small tables of `bench.py small` are scikit-learn's bundled datasets with exactly 10% of their
cells set to NaN (`small_table`).
"""

from __future__ import annotations

import json
import os
import platform
import re
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(HERE, "bench.py")
ENGINE = os.path.normpath(os.path.join(HERE, "..", "build", "bench", "mirel_bench_engine"))

USUAL_RATE = {"normal": 0.10, "lowrank": 0.03, "digits": 0.03, "loaddigits": 0.03}

# The one-table comparison the README's headline quotes (`bench.py headline`).
HEADLINE = "normal-10000x32-nan5"
# Both faces against scikit-learn (`bench.py compare`): random tables and two structured ones.
COMPARE = [
    "normal-2000x20",
    "normal-5000x20",
    "normal-10000x32-nan5",
    "normal-20000x8",
    "lowrank-20000x32-nan5",
    "digits-8985x64-nan5",
]
COMPARE_LARGE = ["normal-50000x16"]  # with --large: one call of each library
QUICK = ["normal-2000x20", "normal-5000x20", "lowrank-5000x32-nan5"]
# mirel, its peers and scikit-learn (`bench.py peers`).
PEERS = ["normal-2000x20", "normal-10000x32-nan5", "normal-20000x8", "lowrank-20000x32", "loaddigits-1797x64"]
# The structured set (`bench.py structured`, in the engine benchmark and through the faces).
STRUCTURED = ["lowrank-20000x32", "digits-20000x64", "loaddigits-1797x64"]
STRUCTURED_FACES = ["lowrank-20000x32", "digits-20000x64", "loaddigits-1797x64-nan10", "normal-20000x16"]
# The engine benchmark's own random normal tables (`bench.py engine`, `structured --normal`).
ENGINE_NORMAL = ["normal-2000x20", "normal-5000x20", "normal-10000x32-nan5", "normal-20000x8"]
# mirel alone over the rows (`bench.py scaling`) and both libraries for the plot.
SCALING = [f"normal-{rows}x16" for rows in (2500, 5000, 10000, 20000, 40000)]
QUICK_SCALING = [f"normal-{rows}x16" for rows in (1000, 2000, 4000, 8000, 16000)]
PLOT = [f"normal-{rows}x16" for rows in (1000, 2000, 4000, 8000, 16000)]
QUICK_PLOT = [f"normal-{rows}x16" for rows in (250, 500, 1000, 2000)]

_NAME = re.compile(r"^(normal|lowrank|digits|loaddigits)-(\d+)x(\d+)(?:-nan(\d+(?:\.\d+)?))?$")


def spec(name: str) -> tuple[str, int, int, float]:
    """(kind, rows, cols, NaN rate) of a table name."""
    m = _NAME.match(name)
    if not m:
        raise ValueError(f"not a table name: {name!r} (KIND-ROWSxCOLS[-nanP], KIND one of {', '.join(USUAL_RATE)})")
    kind, rows, cols, pct = m.group(1), int(m.group(2)), int(m.group(3)), m.group(4)
    if rows < 1 or cols < 1 or (kind == "loaddigits" and (rows > 1797 or cols > 64)):
        raise ValueError(f"no such table: {name!r}")
    return kind, rows, cols, (float(pct) / 100 if pct is not None else USUAL_RATE[kind])


def name_of(kind: str, rows: int, cols: int, rate: float) -> str:
    pct = rate * 100
    suffix = "" if rate == USUAL_RATE[kind] else f"-nan{pct:g}"
    return f"{kind}-{rows}x{cols}{suffix}"


def make_table(rows: int, cols: int, rate: float, seed: int = 12345, kind: str = "normal"):
    import numpy as np

    rng = np.random.default_rng(seed)
    if kind == "normal":
        x = rng.standard_normal((rows, cols))
    elif kind == "lowrank":
        x = rng.standard_normal((rows, 4)) @ rng.standard_normal((4, cols))
        x += 0.1 * rng.standard_normal((rows, cols))
    elif kind in ("digits", "loaddigits"):
        from sklearn.datasets import load_digits

        digits = load_digits().data
        x = np.tile(digits, (-(-rows // digits.shape[0]), 1))[:rows, :cols].astype(np.float64)
        if kind == "digits":
            x += 0.25 * rng.standard_normal(x.shape)
    else:
        raise ValueError(f"unknown table kind {kind!r}")
    x[rng.random((rows, cols)) < rate] = np.nan
    return x


def table(name: str, seed: int = 12345):
    kind, rows, cols, rate = spec(name)
    return make_table(rows, cols, rate, seed=seed, kind=kind)


# The candidate index's tables (`bench.py index`, `bench.py index-peers`): a Gaussian mixture
# and uniform random rows, with the complete table kept for the RMSE on the removed cells.


def mixture(rows, cols=20, clusters=20, rate=0.1, seed=0):
    import numpy as np

    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 5, (clusters, cols))
    full = centres[rng.integers(clusters, size=rows)] + rng.normal(size=(rows, cols))
    holed = full.copy()
    holed[rng.random(full.shape) < rate] = np.nan
    return full, holed


def random_rows(rows, cols=50, rate=0.1, seed=0):
    import numpy as np

    rng = np.random.default_rng(seed)
    full = rng.random((rows, cols))
    holed = full.copy()
    holed[rng.random(full.shape) < rate] = np.nan
    return full, holed


# The mixed table of `bench.py mixed`.


def mixed_table(rows, seed=0):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    data = {}
    for j in range(10):
        data[f"x{j}"] = rng.normal(size=rows) * (j + 1)
    for j, levels in enumerate([2, 3, 5, 7, 10, 12]):
        data[f"c{j}"] = pd.Categorical.from_codes(rng.integers(0, levels, rows), [f"l{i}" for i in range(levels)])
    for j in range(2):
        data[f"o{j}"] = pd.Categorical.from_codes(rng.integers(0, 5, rows), list("abcde"), ordered=True)
    for j in range(2):
        data[f"b{j}"] = pd.array(rng.random(rows) < 0.4, dtype="boolean")
    df = pd.DataFrame(data)
    holes = rng.random(df.shape) < 0.1
    for j, name in enumerate(df.columns):
        df.loc[holes[:, j], name] = None
    return df


SMALL = ("iris", "wine", "diabetes", "digits")


def small_table(name: str, rate: float = 0.10, seed: int = 0):
    """A bundled scikit-learn dataset's features as float64 with `rate` of its cells set to NaN:
    the cells drawn uniformly without replacement with default_rng(seed), nothing else changed."""
    import numpy as np
    from sklearn import datasets

    loaders = {
        "iris": datasets.load_iris,
        "wine": datasets.load_wine,
        "diabetes": datasets.load_diabetes,
        "digits": datasets.load_digits,
    }
    x = np.array(loaders[name]().data, dtype=np.float64, order="C")
    rng = np.random.default_rng(seed)
    x.flat[rng.choice(x.size, size=int(round(rate * x.size)), replace=False)] = np.nan
    return x


# ---------------------------------------------------------------------------------------------
# The machine.


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def load() -> str:
    return "%.1f/%.1f/%.1f" % os.getloadavg()


def machine() -> str:
    """One line naming the CPU, the cores, the kernel and the load (every subcommand prints it)."""
    return (
        f"CPU: {cpu_name()}, {os.cpu_count()} logical cpus; kernel {platform.release()}; "
        f"load average {load()}; Python {platform.python_version()}"
    )


def versions() -> str:
    from importlib import metadata

    parts = []
    for dist in ("numpy", "scikit-learn", "knnimpute"):
        try:
            parts.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            parts.append(f"{dist} not installed")
    import mirel

    blas = (os.environ.get("OPENBLAS_CORETYPE", "(unset)"), os.environ.get("OPENBLAS_L2_SIZE", "(unset)"))
    return ", ".join(parts) + f"; mirel from {os.path.dirname(mirel.__file__)}; OPENBLAS_CORETYPE=%s L2_SIZE=%s" % blas


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak_rss() -> bool:
    """Linux keeps the peak RSS across fork and exec, so a worker would report its parent's
    peak; writing 5 to clear_refs resets the process's high-water mark to its current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes() -> int:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def mib(n: float) -> str:
    return f"{n / 2**20:.1f}"


def seconds(s: float) -> str:
    return f"{s * 1000:.1f} ms" if s < 1 else f"{s:.2f} s"


def markdown(head: list[str], rows: list[list[str]], right: int = 1) -> str:
    """A markdown table; columns from `right` on are numbers (right-aligned)."""
    lines = ["| " + " | ".join(head) + " |"]
    lines.append("| " + " | ".join("---" if i < right else "---:" for i in range(len(head))) + " |")
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------------
# The calls, and the worker that times one of them on one table in a fresh process.
#
#   KnnImputer            mirel.KnnImputer(k=5).fit(X).transform(X)
#   mirel.sklearn[/J]     mirel.sklearn.KNNImputer(n_neighbors=5[, n_jobs=J]).fit_transform(X)
#   mirel.sklearn[/J] split   ... .fit(X[:80%]).transform(X[80%:])
#   sklearn[ split]       sklearn.impute.KNNImputer(n_neighbors=5), the same two ways
#   knnimpute             knnimpute.knn_impute_few_observed(X, isnan(X), k=5) (1 / distance weights)


def the_call(name: str, x):
    import numpy as np

    face, _, mode = name.partition(" ")
    if mode not in ("", "split"):
        raise ValueError(f"unknown call {name!r}")
    cut = int(len(x) * 0.8)
    train, test = x[:cut].copy(), x[cut:].copy()
    if face == "KnnImputer" and not mode:
        import mirel

        return lambda: mirel.KnnImputer(k=5).fit(x).transform(x)
    if face == "knnimpute" and not mode:
        from knnimpute import knn_impute_few_observed

        return lambda: knn_impute_few_observed(x, np.isnan(x), k=5)
    if face.startswith("mirel.sklearn"):
        from mirel.sklearn import KNNImputer

        jobs = int(face.split("/")[1]) if "/" in face else None
        make = lambda: KNNImputer(n_neighbors=5, n_jobs=jobs)  # noqa: E731
    elif face == "sklearn":
        from sklearn.impute import KNNImputer

        make = lambda: KNNImputer(n_neighbors=5)  # noqa: E731
    else:
        raise ValueError(f"unknown call {name!r}")
    if mode == "split":
        return lambda: make().fit(train).transform(test)
    return lambda: make().fit_transform(x)


def worker(argv: list[str]) -> None:
    """`bench.py worker CALL TABLE REPEATS [--save PATH] [--cold]`: prints a JSON line with the
    best wall and CPU time of the repeats, the peak RSS (VmHWM, reset just before the timed calls)
    and the RSS just before them. Unless --cold, the same call first runs on a 20-row table, so
    that one-time costs of the process (code pages, lazy imports, first heap growth) are not
    counted as the table's."""
    import argparse

    import numpy as np

    parser = argparse.ArgumentParser(prog="bench.py worker")
    parser.add_argument("call")
    parser.add_argument("table")
    parser.add_argument("repeats", type=int)
    parser.add_argument("--save")
    parser.add_argument("--cold", action="store_true")
    args = parser.parse_args(argv)
    kind, rows, cols, rate = spec(args.table)
    if not args.cold:
        the_call(args.call, make_table(20, cols, rate, seed=7))()
    x = make_table(rows, cols, rate, kind=kind)
    call = the_call(args.call, x)
    reset_peak_rss()
    before = rss_bytes()
    best_wall = best_cpu = float("inf")
    out = None
    for _ in range(args.repeats):
        out = None
        c0, t0 = time.process_time(), time.perf_counter()
        out = call()
        t1, c1 = time.perf_counter(), time.process_time()
        best_wall, best_cpu = min(best_wall, t1 - t0), min(best_cpu, c1 - c0)
    peak = peak_rss_bytes()
    if args.save:
        np.save(args.save, out)
    result = {"wall": best_wall, "cpu": best_cpu, "peak_rss": peak, "rss_before": before}
    result["query_rows"] = int(np.isnan(x).any(axis=1).sum())
    print(json.dumps(result))


def measure(
    call: str, name: str, repeats: int, save: str | None = None, cold: bool = False, timeout: float | None = None
) -> dict:
    """Times CALL on table NAME in a fresh subprocess; {"note": ...} when it timed out or failed."""
    cmd = [sys.executable, BENCH, "worker", call, name, str(repeats)] + (["--save", save] if save else [])
    cmd += ["--cold"] if cold else []
    try:
        done = subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"note": f"over {timeout:g} s"}
    except subprocess.CalledProcessError as e:
        tail = (e.stderr or "").strip().splitlines()
        last = tail[-1] if tail else f"exit {e.returncode}"
        if last.startswith("ModuleNotFoundError: No module named "):
            return {"note": last.split("named ", 1)[1].strip("'") + " not installed"}
        return {"note": "failed: " + last}
    return json.loads(done.stdout.strip().splitlines()[-1])
