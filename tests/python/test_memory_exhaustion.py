"""Running out of memory: when a copy or a result cannot be allocated the call raises
MemoryError, and the imputer is left as it was.

Two ways of running out, each in a child process so that a crash fails the test instead of the
run: a cap on the address space (RLIMIT_AS) just above what the process already maps, swept
across the sizes of the input copy and the result vector; and, where CPython's _testcapi is
there, failing the interpreter's n-th allocation for every n that a call makes, which reaches
the result array's owner object and the array itself."""

import os
import platform
import subprocess
import sys
import textwrap

import pytest

from conftest import UNDER_SANITIZER

resource = pytest.importorskip("resource")


def _under_user_emulation():
    # qemu-user runs the program inside its own process: /proc/self/status describes the
    # emulator, whose reserved guest address space the cap never reaches. It shows the host's
    # processor in /proc/cpuinfo, not the emulated one.
    machine = platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            text = cpuinfo.read()
    except OSError:
        return False
    return machine.startswith(("arm", "aarch64")) and ("GenuineIntel" in text or "AuthenticAMD" in text)


UNDER_VALGRIND = os.environ.get("MIREL_UNDER_VALGRIND") == "1"
address_space_cap = pytest.mark.skipif(
    not sys.platform.startswith("linux") or UNDER_SANITIZER or UNDER_VALGRIND or _under_user_emulation(),
    reason="needs /proc/self/status and an address space that no checker or emulator has reserved",
)

CHILD_PRELUDE = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    import mirel

    SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)
    MiB = 1 << 20

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def capped(extra, call):
        # The cap counts from what the process maps right now.
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra, HARD))
        try:
            return "ok", call()
        except MemoryError:
            return "memory", None
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))

    def bits(a):
        return np.ascontiguousarray(a).view(np.uint64)

    small = np.array([[1.0, 10.0], [2.0, np.nan], [3.0, 30.0], [4.0, 40.0]])
    small_result = np.array([[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]])
    # 80 MB: 100 rows of 100,000 cells, one missing cell
    big = np.random.default_rng(1).normal(size=(100, 100_000))
    big[3, 7] = np.nan
    N = big.nbytes
    """
)


def run_child(body):
    code = CHILD_PRELUDE + textwrap.dedent(body)
    env = dict(os.environ)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    print(proc.stdout, end="")
    return proc.stdout


@address_space_cap
def test_fit_that_cannot_copy_raises_memory_error_and_keeps_the_old_fit():
    out = run_child(
        """
        imp = mirel.KnnImputer(2).fit(small)
        seen = set()
        for extra in [0, N // 4, N // 2, 3 * N // 4, N - MiB, N + 64 * MiB]:
            status, result = capped(extra, lambda: imp.fit(big))
            seen.add(status)
            if status == "ok":
                assert result is imp
                imp.fit(small)
            # unchanged: the small table is still the fitted one
            assert (bits(imp.transform(small)) == bits(small_result)).all()
            assert imp.k == 2
        assert seen == {"ok", "memory"}, seen
        print("fit sweep", sorted(seen))
        """
    )
    assert "fit sweep" in out


@address_space_cap
def test_transform_that_cannot_allocate_raises_memory_error_and_leaves_the_imputer():
    out = run_child(
        """
        imp = mirel.KnnImputer(2).fit(big)
        expected = bits(imp.transform(big))
        outcomes = []
        # below N the input copy fails, between N and 2N the result vector, just above 2N
        # the array object and its owner (Python arenas, NumPy's allocations)
        extras = [N // 2, N - MiB, N + MiB, 3 * N // 2, 2 * N - MiB]
        extras += [2 * N + step * 256 * 1024 for step in range(0, 16)]
        # enough for the copies and the pass's bounded working memory (a few times the fitted
        # matrix plus a fixed budget), so the last call succeeds
        extras += [6 * N + 256 * MiB]
        for extra in extras:
            status, result = capped(extra, lambda: imp.transform(big))
            outcomes.append(status)
            if status == "ok":
                assert (bits(result) == expected).all()
                del result
            # unchanged and not borrowed
            imp.k = 2
            assert (bits(imp.transform(big)) == expected).all()
        assert "memory" in outcomes and outcomes[-1] == "ok", outcomes
        print("transform sweep:", " ".join(outcomes))
        """
    )
    assert "transform sweep" in out


@address_space_cap
def test_frame_conversion_under_memory_pressure():
    pytest.importorskip("pandas")
    out = run_child(
        """
        import pandas as pd
        frame = pd.DataFrame(big)
        imp = mirel.KnnImputer(2).fit(small)
        seen = set()
        for extra in [N // 2, N + MiB, 2 * N + MiB, 4 * N]:
            status, result = capped(extra, lambda: imp.fit(frame))
            seen.add(status)
            if status == "ok":
                imp.fit(small)
            assert (bits(imp.transform(small)) == bits(small_result)).all()
        assert "memory" in seen, seen
        print("frame sweep", sorted(seen))
        """
    )
    assert "frame sweep" in out


@address_space_cap
@pytest.mark.skipif(sys.maxsize < 2**40, reason="NumPy describes no array over 2 GiB on a 32-bit platform")
def test_broadcast_table_of_eight_terabytes_is_a_memory_error():
    out = run_child(
        """
        imp = mirel.KnnImputer(2).fit(small)
        huge = np.broadcast_to(np.array([[1.0, np.nan]]), (1 << 39, 2))  # 8 TiB of cells, 16 bytes stored
        for method in ("fit", "transform"):
            status, _ = capped(256 * MiB, lambda: getattr(imp, method)(huge))
            assert status == "memory", (method, status)
        assert (bits(imp.transform(small)) == bits(small_result)).all()
        print("broadcast refused")
        """
    )
    assert "broadcast refused" in out


NTH_ALLOCATION = """
import collections, sys
import numpy as np
import _testcapi
import mirel

small = np.array([[1.0, 10.0], [2.0, np.nan], [3.0, 30.0], [4.0, 40.0]])
small_result = np.array([[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]]).tobytes()
imp = mirel.KnnImputer(2).fit(small)
bad_metric = mirel.KnnImputer(2, "zz").fit(small)
data = {"array": small, "fortran": np.asfortranarray(small)}
have_pandas = False
try:
    import pandas as pd
    have_pandas = True
    # pandas 1.x crashes in its own to_numpy when one of its allocations fails (seen with
    # Debian's pandas 1.5.3 and NumPy 1.24, without this module involved).
    if int(pd.__version__.split(".")[0]) >= 2:
        data["frame"] = pd.DataFrame(small)
except ImportError:
    pass

def attempt(call, n):
    _testcapi.set_nomemory(n, n + 1)  # the n-th allocation from here on fails, only that one
    try:
        result = call()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return exc
    _testcapi.remove_mem_hooks()
    return result

OPS = {"new": (lambda d: mirel.KnnImputer(3, "expected_distance", "distance"), None)}
for kind, table in data.items():
    OPS["fit-" + kind] = (lambda d, t=table: imp.fit(t), None)
    OPS["transform-" + kind] = (lambda d, t=table: imp.transform(t), None)
OPS["get-k"] = (lambda d: imp.k, None)
OPS["set-k"] = (lambda d: setattr(imp, "k", 2), None)
# Without pandas every input other than an accepted array meets pandas' import error.
OPS["unsupported"] = (lambda d: imp.transform([[1.0]]), TypeError if have_pandas else ImportError)
OPS["metric"] = (lambda d: bad_metric.transform(small), TypeError)
OPS["shape"] = (lambda d: imp.transform(np.ones((3, 2))), ValueError)
OPS["panic"] = (lambda d: imp.transform(np.full((8, 1), np.nan)), "panic")

panic_type = type(attempt(lambda: mirel.KnnImputer(weights="?"), 10**9))
for name, (call, own_error) in OPS.items():
    seen = collections.Counter()
    quiet = 0
    n = 0
    while quiet < 40 and n < 2000:
        out = attempt(lambda: call(None), n)
        if isinstance(out, MemoryError):
            kind = "MemoryError"
        elif isinstance(out, panic_type) and str(out).startswith("Failed to create slice container"):
            kind = "PanicException(Failed to create slice container)"
        elif own_error == "panic" and isinstance(out, panic_type):
            kind = "own"
        elif isinstance(own_error, type) and isinstance(out, own_error):
            kind = "own"
        elif isinstance(out, SystemError) and str(out) == "error return without exception set":
            # CPython 3.11's own raise path when its traceback cannot be allocated; a plain
            # `raise TypeError(...)` in Python does the same under this hook. A C function that
            # returns NULL without an exception is reported differently ("returned NULL
            # without setting an exception") and fails here.
            kind = "interpreter SystemError"
        elif not have_pandas and isinstance(out, RuntimeError) and str(out) == "can't allocate lock":
            # Without pandas the call imports it, and the import system's own module lock
            # cannot be allocated.
            kind = "interpreter import RuntimeError"
        elif own_error is None and not isinstance(out, BaseException):
            kind = "own"
            if name.startswith("transform"):
                assert out.tobytes() == small_result, name
        else:
            raise AssertionError(f"{name}, allocation {n}: {out!r}")
        seen[kind] += 1
        quiet = quiet + 1 if kind == "own" else 0
        n += 1
        # unchanged, not borrowed
        imp.k = 2
        assert imp.transform(small).tobytes() == small_result
        imp.fit(small)
    assert quiet >= 40, name
    print(f"{name}: {n} runs, " + ", ".join(f"{k} {v}" for k, v in sorted(seen.items())))
"""


@pytest.mark.skipif(
    platform.python_implementation() != "CPython",
    reason="needs CPython's _testcapi.set_nomemory allocation hooks",
)
def test_every_interpreter_allocation_of_a_call_may_fail():
    pytest.importorskip("_testcapi")
    proc = subprocess.run([sys.executable, "-c", NTH_ALLOCATION], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr[-4000:]}"
    print(proc.stdout, end="")
    assert "transform-array" in proc.stdout
