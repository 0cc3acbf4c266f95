"""mirel and its peers on the same tables, in one run.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench.py peers [--rounds N] [--tables NAME,...]

Calls, all with 5 neighbours, each measured in a fresh subprocess (best wall time of the
repeats of every round; rounds alternate the libraries on each table, so that a change in the
machine's speed hits all of them alike):

  KnnImputer        mirel.KnnImputer(k=5).fit(X).transform(X)
  mirel.sklearn/1   mirel.sklearn.KNNImputer(n_neighbors=5, n_jobs=1).fit_transform(X)
  mirel.sklearn/2   the same with n_jobs=2
  sklearn           sklearn.impute.KNNImputer(n_neighbors=5).fit_transform(X)
  knnimpute         knnimpute.knn_impute_few_observed(X, isnan(X), k=5), the loop fancyimpute's
                    KNN runs (pip install knnimpute); it holds several rows x rows matrices, so
                    it is skipped above --knnimpute-max-rows rows, and a call that takes longer
                    than --knnimpute-timeout seconds is stopped and reported as such

The libraries do not compute the same thing: scikit-learn and mirel's two faces average the
5 nearest rows holding the column (nan_euclidean distances, uniform weights); knnimpute weighs
them by 1 / distance and measures distances its own way. The table compares times, not results.

Tables (tables.py: fixed seeds, so every library gets the very same cells): normal
2000x20, 10000x32 and 20000x8 (standard normal cells, NaN at random), the structured lowrank
20000x32 (rank 4 plus noise, 3% NaN) and load_digits itself (1797x64, 3% NaN); --tables picks
among those and the other structured ones (digits: load_digits tiled to 20000 rows plus noise).

Printed: Python, NumPy, scikit-learn and knnimpute versions, the CPU and the load, then a
markdown table of the best wall times and scikit-learn's time over each mirel call's, then one
of the CPU times of the same calls (best of the repeats of the round whose wall time counts).
"""

from __future__ import annotations

import argparse

import tables as T

TABLES = {name: T.spec(name) for name in T.PEERS + T.STRUCTURED}
DEFAULT = list(T.PEERS)
CALLS = ("KnnImputer", "mirel.sklearn/1", "mirel.sklearn/2", "sklearn", "knnimpute")
SLOW = ("sklearn", "knnimpute")


def measure(name: str, table, repeats: int, timeout: float | None) -> dict:
    return T.measure(name, T.name_of(*table), repeats, timeout=timeout)


def cell(result: dict | None) -> str:
    if result is None:
        return "-"
    if "wall" not in result:
        return result["note"]
    w = result["wall"]
    return f"{w * 1000:.1f} ms" if w < 1 else f"{w:.2f} s"


def cpu_of(result: dict | None) -> dict | None:
    return {"wall": result["cpu"]} if result and "cpu" in result else result


def ratio(slow: dict | None, fast: dict | None) -> str:
    if slow and "wall" in slow and fast and "wall" in fast:
        return f"{slow['wall'] / fast['wall']:.1f}x"
    return "-"


def run(
    names: list[str],
    rounds: int,
    repeats: int,
    slow_repeats: int,
    knn_max_rows: int,
    knn_timeout: float,
    calls: tuple[str, ...] = CALLS,
) -> None:
    print(T.machine())
    print(T.versions(), flush=True)
    best: dict = {}
    for r in range(rounds):
        for name in names:
            table = TABLES[name]
            # Alternate the order of the calls from one round to the next.
            for call in calls if r % 2 == 0 else calls[::-1]:
                key = (name, call)
                if call == "knnimpute" and table[1] > knn_max_rows:
                    best[key] = {"note": f"skipped (> {knn_max_rows} rows)"}
                    continue
                if call in SLOW and r > 0 and "wall" not in best.get(key, {"wall": 0}):
                    continue  # timed out or failed before: not again
                result = measure(
                    call, table, slow_repeats if call in SLOW else repeats, knn_timeout if call == "knnimpute" else None
                )
                print(f"round {r + 1} {name} {call}: {cell(result)}", flush=True)
                old = best.get(key)
                if old is None or ("wall" in result and ("wall" not in old or result["wall"] < old["wall"])):
                    best[key] = result
    print(f"load average at the end {T.load()}")
    print()
    print("| table | " + " | ".join(CALLS) + " | sklearn / mirel.sklearn/1 | sklearn / KnnImputer |")
    print("| --- " * (len(CALLS) + 3) + "|")
    for name in names:
        res = {call: best.get((name, call)) for call in CALLS}
        ratios = [ratio(res["sklearn"], res[call]) for call in ("mirel.sklearn/1", "KnnImputer")]
        print(f"| {name} | " + " | ".join(cell(res[call]) for call in CALLS) + f" | {' | '.join(ratios)} |")
    # On a shared machine the wall times wait for a core; CPU time (all threads of the worker) is
    # what each call cost. scikit-learn's BLAS and mirel.sklearn/2 run two threads.
    print()
    print("CPU time of the same calls (all threads of the process):")
    print()
    print("| table | " + " | ".join(CALLS) + " |")
    print("| --- " * (len(CALLS) + 1) + "|")
    for name in names:
        res = {call: best.get((name, call)) for call in CALLS}
        print(f"| {name} | " + " | ".join(cell(cpu_of(res[call])) for call in CALLS) + " |")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="bench.py peers", description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3, help="timed calls per round of mirel's faces")
    parser.add_argument("--slow-repeats", type=int, default=1, help="timed calls per round of sklearn, knnimpute")
    parser.add_argument("--tables", default=",".join(DEFAULT), help=f"comma-separated, of: {', '.join(TABLES)}")
    parser.add_argument("--knnimpute-max-rows", type=int, default=10000)
    parser.add_argument("--knnimpute-timeout", type=float, default=120.0, help="seconds")
    args = parser.parse_args(argv)
    names = [n for n in args.tables.split(",") if n]
    unknown = [n for n in names if n not in TABLES]
    if unknown:
        parser.error(f"unknown table(s) {unknown}; known: {', '.join(TABLES)}")
    run(names, args.rounds, args.repeats, args.slow_repeats, args.knnimpute_max_rows, args.knnimpute_timeout)
