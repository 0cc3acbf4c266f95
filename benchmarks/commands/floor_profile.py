"""Where a pass's time goes beyond its distance loop: perf samples of the engine benchmark,
grouped by the source file the sampled instruction comes from (inlined code counts for the file
it was written in).

    python benchmarks/bench.py floor-profile [--mode row|split|self] [--kernel avx512] [--repeats N] ROWS COLS NAN_RATE

Builds the engine benchmark with debug line tables (build/bench-g: the library's own flags plus
-g, so the same code as build/bench), runs it under `perf record` with the loop floor off, and
prints the share of the samples of each part:

  kernel     the distance loop: the kernels' files and the vector intrinsics, the per-block
             filters of kernels/block_driver.hpp and the scan over super-blocks
             (pass/group_scan.hpp): what the loop floor measures
  offers     handing what passed the filters to the selections, refreshing the filters, filling
             (the pass's own file: row/row_pass.cpp or query/query_fast.cpp), the selections
             (core/selection.hpp) and the ranking keys (row/impute.hpp)
  panel      building the panel and preparing query rows (panel/)
  plan       the opening scan of the table for missing cells (pass/, query/query_detail.hpp)
  other      the rest: the benchmark's own table generation, standard library code that any of
             the above inlined (std::vector, heaps), the kernel of the operating system

Needs perf (apt-get install linux-perf) and permission to sample the process
(/proc/sys/kernel/perf_event_paranoid at most 2).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
BUILD = os.path.join(ROOT, "build", "bench-g")

PARTS = {
    "kernel": (
        "avx512fintrin.h",
        "avx2intrin.h",
        "avxintrin.h",
        "avx512.cpp",
        "avx2.cpp",
        "portable.cpp",
        "block_driver.hpp",
        "group_scan.hpp",
        "avx512vlintrin.h",
        "avx512dqintrin.h",
        "avx512bwintrin.h",
    ),
    "offers": ("row_pass.cpp", "query_fast.cpp", "selection.hpp", "impute.hpp", "weights.cpp", "impute_fast.cpp"),
    "panel": ("panel.cpp", "panel.hpp", "aligned.hpp"),
    "plan": ("pass_plan.cpp", "prune_steering.hpp", "query_detail.hpp", "row_range.cpp"),
}


def build() -> str:
    subprocess.run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            BUILD,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCMAKE_CXX_FLAGS=-g",
            "-DMIREL_PYTHON=OFF",
            "-DMIREL_BUILD_BENCH=ON",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        ["cmake", "--build", BUILD, "-j2", "--target", "mirel_bench_engine"], check=True, capture_output=True
    )
    return os.path.join(BUILD, "mirel_bench_engine")


def part_of(source: str) -> str:
    for part, files in PARTS.items():
        if source in files:
            return part
    return "other"


def profile(binary: str, mode: str, kernel: str, repeats: int, table: list[str]) -> dict[str, float]:
    env = dict(os.environ, BENCH_FLOOR="0", BENCH_KERNEL=kernel, BENCH_REPEATS=str(repeats))
    env.pop("BENCH_QUERY", None)
    if mode != "row":
        env["BENCH_QUERY"] = mode
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        run = subprocess.run(
            ["perf", "record", "-q", "-o", data, "-F", "2000", binary, *table],
            env=env,
            check=True,
            capture_output=True,
            text=True,
        )
        print(run.stdout, end="")
        report = subprocess.run(
            ["perf", "report", "-i", data, "--no-children", "--sort", "srcfile", "--stdio"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    shares: dict[str, float] = {}
    files: dict[str, float] = {}
    for line in report.splitlines():
        if line.startswith("#") or "%" not in line:
            continue
        percent, _, source = line.strip().partition("%")
        source = source.strip()
        share = float(percent)
        shares[part_of(source)] = shares.get(part_of(source), 0.0) + share
        files[source or "(no line table)"] = share
    for source, share in sorted(files.items(), key=lambda kv: -kv[1])[:12]:
        print(f"  {share:6.2f}%  {source}")
    return shares


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py floor-profile", description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=("row", "split", "self"), default="row")
    parser.add_argument("--kernel", default="avx512")
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("table", nargs=3, metavar=("ROWS", "COLS", "NAN_RATE"))
    args = parser.parse_args(argv)
    try:
        binary = build()
    except subprocess.CalledProcessError as e:
        sys.exit(f"cannot build the engine benchmark: {e.stderr.decode(errors='replace')[-2000:]}")
    shares = profile(binary, args.mode, args.kernel, args.repeats, args.table)
    t = args.table
    name = f"{os.path.basename(t[0][1:])} {t[1]}x{t[2]}" if t[0].startswith("@") else f"{t[0]}x{t[1]} nan {t[2]}"
    print(f"{args.mode} {name}: " + ", ".join(f"{part} {shares.get(part, 0.0):.1f}%" for part in (*PARTS, "other")))
    import tables as T

    print(T.machine())
    print()
    print(
        T.markdown(
            ["pass", "table", *PARTS, "other"],
            [[args.mode, name] + [f"{shares.get(p, 0.0):.1f}%" for p in (*PARTS, "other")]],
            right=2,
        )
    )
