"""Engine benchmark binaries of different builds, side by side in one run.

    python benchmarks/side_by_side.py [--rounds N] LABEL=BINARY ... -- ROWS COLS NAN_RATE ...

Each binary is a mirel_bench_engine (or an older commit's bench_engine) that reads the same
environment (BENCH_KERNEL, BENCH_METRIC, BENCH_REPEATS, ...). For every round and table the
binaries run one after the other, so that a change in the machine's speed hits all of them
alike; the table printed is the best CPU time each binary reached per table, and how many times
faster the first binary was than each other (the other's time over the first's).

To compare with an older commit, build its benchmark in a worktree with that commit's own
script, e.g. `git worktree add /tmp/old cfb3ede && /tmp/old/benchmarks/bench_engine.sh 10 2 0`
(which leaves /tmp/old/build/bench/bench_engine; newer commits build
build/bench/mirel_bench_engine).
"""

import argparse
import subprocess
import sys


def cpu_seconds(binary, table):
    out = subprocess.run([binary, *table], check=True, capture_output=True, text=True).stdout
    rows = [line.split() for line in out.splitlines() if line.startswith(f"{table[0]}x{table[1]} ")]
    if not rows:
        sys.exit(f"{binary}: no result line for table {table}:\n{out}")
    # size nan q kernel wall cpu pair-elem/s [skipped]
    return float(rows[-1][5]), (rows[-1][7] if len(rows[-1]) > 7 else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("rest", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if "--" not in args.rest:
        parser.error("binaries and tables are separated by --")
    split = args.rest.index("--")
    builds = [b.split("=", 1) for b in args.rest[:split]]
    numbers = args.rest[split + 1 :]
    if not builds or any(len(b) != 2 for b in builds) or not numbers or len(numbers) % 3:
        parser.error("need LABEL=BINARY ... -- ROWS COLS NAN_RATE ...")
    tables = [numbers[i : i + 3] for i in range(0, len(numbers), 3)]
    best = {}
    for r in range(args.rounds):
        for table in tables:
            for label, binary in builds:
                seconds, skipped = cpu_seconds(binary, table)
                key = (tuple(table), label)
                print(
                    f"round {r + 1} {'x'.join(table[:2])} nan {table[2]} {label}: {seconds:.4f} s {skipped}", flush=True
                )
                if key not in best or seconds < best[key][0]:
                    best[key] = (seconds, skipped)
    first = builds[0][0]
    print()
    print(
        f"{'table':>10} {'nan':>5} "
        + " ".join(f"{label:>12}" for label, _ in builds)
        + "".join(f" {first + ' vs ' + label:>18}" for label, _ in builds[1:])
    )
    for table in tables:
        t = tuple(table)
        cells = " ".join(f"{best[(t, label)][0]:12.4f}" for label, _ in builds)
        ratios = "".join(f" {best[(t, label)][0] / best[(t, first)][0]:17.2f}x" for label, _ in builds[1:])
        print(f"{table[0] + 'x' + table[1]:>10} {table[2]:>5} {cells}{ratios}")


if __name__ == "__main__":
    main()
