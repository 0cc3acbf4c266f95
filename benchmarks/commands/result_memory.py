"""Resident memory of a process that calls transform many times and drops every result, without
ever calling gc.collect(): what a long-running service does. On PyPy the result arrays die
only when the collector runs, and it runs only when it sees memory pressure, so this measures
whether the collector learns about the result buffers.

    python benchmarks/bench.py result-memory [--calls 2000] [--rows 500] [--cols 500]

Prints the interpreter, the RSS before the loop, the growth after every tenth of the loop,
and the largest growth seen. Needs psutil.
"""

import argparse
import platform
import sys

import numpy as np
import psutil

import mirel


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="bench.py result-memory",
    )
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--rows", type=int, default=500)
    parser.add_argument("--cols", type=int, default=500)
    args = parser.parse_args(argv)

    data = np.random.default_rng(0).normal(size=(args.rows, args.cols))
    data[args.rows // 2, args.cols // 2] = np.nan
    imputer = mirel.KnnImputer(k=5).fit(data)
    imputer.transform(data)  # first use creates the process-wide objects

    process = psutil.Process()
    start = process.memory_info().rss
    peak = 0
    mib = 1024 * 1024
    print(
        f"{platform.python_implementation()} {platform.python_version()} on {platform.machine()}, "
        f"numpy {np.__version__}; {args.calls} transforms of {args.rows}x{args.cols} "
        f"({args.rows * args.cols * 8 / mib:.2f} MiB per result), no gc.collect()"
    )
    import tables as T

    print(T.machine())
    print(f"RSS at start: {start / mib:.1f} MiB")
    # RSS is read only at the checkpoints: reading it allocates Python objects, and that
    # allocation alone would make PyPy's collector run now and then.
    step = max(1, args.calls // 10)
    done = 0
    while done < args.calls:
        for _ in range(min(step, args.calls - done)):
            imputer.transform(data)
        done += min(step, args.calls - done)
        grown = process.memory_info().rss - start
        peak = max(peak, grown)
        print(f"after {done:5d} calls: +{grown / mib:8.1f} MiB")
    print(f"largest growth seen: +{peak / mib:.1f} MiB")
    print()
    print(
        T.markdown(
            ["calls", "rows x cols", "largest RSS growth"],
            [[str(args.calls), f"{args.rows} x {args.cols}", f"{peak / mib:.1f} MiB"]],
        )
    )
    sys.stdout.flush()
