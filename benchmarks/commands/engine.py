"""The engine benchmark (benchmarks/bench_engine.cpp): every kernel on the tables, beside its loop floor.

    python benchmarks/bench.py engine [TABLE ...]                       # default: the random normal tables
    python benchmarks/bench.py engine --builds LABEL=BINARY ... [--rounds N] -- TABLE ...

Builds the CMake target mirel_bench_engine (benchmarks/bench_engine.sh: build/bench, the library's
own flags) and runs it on the tables: names of tables.py (the structured ones are written to a
file of raw doubles first) or ROWS COLS RATE triples. It prints, per table and kernel, the best
wall and CPU time of the pass, its throughput (q x R x C / CPU s), the fraction of pair-elements
that pruning skipped, and the loop floor: the same kernel over the same pairs with no pruning,
selection or fill, and pass / floor. The benchmark's environment passes through (BENCH_KERNEL,
BENCH_REPEATS, BENCH_QUERY=split|self for mirel.sklearn's passes, BENCH_PRUNE=0, BENCH_FLOOR=0,
...; bench_engine.sh lists them). The raw output comes first, then a markdown table of it.

--builds compares engine benchmark binaries of different builds side by side: for every round
and table the binaries run one after the other, so that a change in the machine's speed hits all
of them alike; printed: the best CPU time each reached per table, and each one's time over the
first's. To compare with an older commit, build its benchmark in a worktree with that commit's
own script, e.g. `git worktree add /tmp/old cfb3ede && /tmp/old/benchmarks/bench_engine.sh 10 2 0`
(which leaves /tmp/old/build/bench/bench_engine; newer commits build build/bench/mirel_bench_engine).
"""

import argparse
import os
import subprocess
import sys
import tempfile

import tables as T

SCRIPT = os.path.join(T.HERE, "bench_engine.sh")
HEAD = ["size", "nan / pass", "q", "kernel", "wall s", "CPU s", "pair-el/s", "skipped"]
FLOOR = ["floor CPU s", "pass / floor", "floor el/s", "panel build s"]


def arguments(items: list[str], tmp: str) -> list[str]:
    """The benchmark's arguments for table names and ROWS COLS RATE triples."""
    out, i = [], 0
    while i < len(items):
        if items[i][0].isdigit():
            out += items[i : i + 3]
            i += 3
            continue
        kind, rows, cols, rate = T.spec(items[i])
        if kind == "normal":
            out += [str(rows), str(cols), f"{rate:g}"]
        else:
            path = os.path.join(tmp, items[i] + ".f64")
            T.make_table(rows, cols, rate, kind=kind).astype("<f8").tofile(path)
            out += ["@" + path, str(rows), str(cols)]
        i += 1
    return out


def build() -> str:
    subprocess.run(["bash", SCRIPT, "--build-only"], check=True)
    return T.ENGINE


def rows_of(out: str) -> list[list[str]]:
    """The result lines of the benchmark's output, as markdown cells."""
    rows = []
    for line in out.splitlines():
        f = line.split()
        if not f or "x" not in f[0] or not f[0][0].isdigit():
            continue
        if len(f) in (7, 11):  # split / self lines have no NaN rate
            f.insert(1, "")
        rows.append(f)
    return rows


def run_tables(items: list[str]) -> str:
    binary = build()
    print(T.machine(), flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run([binary, *arguments(items, tmp)], check=True, capture_output=True, text=True).stdout
    print(out)
    rows = rows_of(out)
    width = max((len(r) for r in rows), default=len(HEAD))
    head = (HEAD + FLOOR)[:width]
    print(T.markdown(head, [r + [""] * (width - len(r)) for r in rows], right=2))
    return out


def cpu_seconds(binary, table):
    out = subprocess.run([binary, *table], check=True, capture_output=True, text=True).stdout
    size = f"{table[1]}x{table[2]}" if table[0].startswith("@") else f"{table[0]}x{table[1]}"
    rows = [line.split() for line in out.splitlines() if line.startswith(size + " ")]
    if not rows:
        sys.exit(f"{binary}: no result line for table {table}:\n{out}")
    # size nan q kernel wall cpu pair-elem/s [skipped]
    return float(rows[-1][5]), (rows[-1][7] if len(rows[-1]) > 7 else "")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if "--builds" not in argv:
        run_tables(argv or list(T.ENGINE_NORMAL))
        return
    argv = [a for a in argv if a != "--builds"]
    return side_by_side(argv)


def side_by_side(argv):
    parser = argparse.ArgumentParser(prog="bench.py engine", description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("rest", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if "--" not in args.rest:
        parser.error("binaries and tables are separated by --")
    split = args.rest.index("--")
    builds = [b.split("=", 1) for b in args.rest[:split]]
    numbers = args.rest[split + 1 :]
    tmp = tempfile.mkdtemp()
    numbers = arguments(numbers, tmp) if numbers else []
    if not builds or any(len(b) != 2 for b in builds) or not numbers or len(numbers) % 3:
        parser.error("need LABEL=BINARY ... -- TABLE ... (names, or ROWS COLS NAN_RATE)")
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
    print(T.machine())
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
        label = f"{table[1]}x{table[2]}" if table[0].startswith("@") else f"{table[0]}x{table[1]}"
        rate = "file" if table[0].startswith("@") else table[2]
        print(f"{label:>10} {rate:>5} {cells}{ratios}")
