"""The benchmark scripts' full comparisons, end to end on tables small enough for the suite.

A real run takes minutes to hours, so nothing else notices a script that no longer gets through
its table list (bench_sklearn.py once failed at its first table after bench_impute.py's list
changed shape)."""

import os
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")
BENCHMARKS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks")
if not os.path.isfile(os.path.join(BENCHMARKS, "bench_sklearn.py")):
    pytest.skip("the benchmark scripts are not beside these tests", allow_module_level=True)
sys.path.insert(0, BENCHMARKS)

import bench_impute  # noqa: E402
import bench_sklearn  # noqa: E402
import bench_small  # noqa: E402


def test_the_full_run_has_its_tables_and_one_of_fifty_thousand_rows():
    full = bench_sklearn.tables(quick=False)
    assert all(len(t) == 3 and t[0] > 0 and t[1] > 0 and 0 < t[2] < 1 for t in full)
    assert max(rows for rows, _, _ in full) >= 50_000
    assert {kind for kind, *_ in bench_impute.SIZES} == {"normal", "lowrank", "digits"}


def test_both_comparisons_run_end_to_end(capsys):
    # Each measurement is a worker subprocess of the script, as in a real run.
    bench_sklearn.compare([(40, 4, 0.2)], 1, 1)
    rows = [line for line in capsys.readouterr().out.splitlines() if line.lstrip().startswith("40x4")]
    assert [line.split()[2] for line in rows] == ["split", "fit_transform"]
    bench_impute.compare_table([("normal", 40, 4, 0.2), ("lowrank", 48, 6, 0.1)], 1, 1, None)
    out = capsys.readouterr().out
    assert " 40x4 " in out and " 48x6 " in out


def test_the_small_tables_run_end_to_end_and_are_checked(capsys):
    bench_small.main(["--repeats", "1", "--rounds", "1", "--tables", "iris,wine"])
    rows = [
        line for line in capsys.readouterr().out.splitlines() if line.startswith("| iris") or line.startswith("| wine")
    ]
    assert [row.split("|")[1].strip() for row in rows] == ["iris", "wine"]
    assert all(row.split("|")[5].strip().endswith("x") for row in rows)  # the ratio column


@pytest.mark.parametrize("name", ["iris", "wine"])
def test_the_small_tables_check_refuses_a_difference_outside_tied_cells(name):
    X = bench_small.table(name)
    assert np.isnan(X).mean() == pytest.approx(0.10, abs=0.005)
    ours = bench_small.CALLS["mirel.sklearn"](X)
    theirs = bench_small.CALLS["sklearn"](X)
    bench_small.compare(name, X, ours, theirs)  # agrees (tied cells aside)
    # A cell that is not tied, changed: the check must refuse it.
    cells = [(r, c) for r, c in zip(*np.nonzero(np.isnan(X))) if not bench_small.tied(X, r, c)]
    r, c = cells[0]
    wrong = ours.copy()
    wrong[r, c] += 1.0
    with pytest.raises(SystemExit, match="outside tied cells"):
        bench_small.compare(name, X, wrong, theirs)
    moved = ours.copy()
    moved[r, c] = np.nan
    with pytest.raises(SystemExit, match="NaN positions"):
        bench_small.compare(name, X, moved, theirs)


def test_the_peer_table_runs_end_to_end(capsys, monkeypatch):
    import bench_peers

    monkeypatch.setitem(bench_peers.TABLES, "tiny", ("lowrank", 30, 5, 0.2))
    bench_peers.run(["tiny"], rounds=1, repeats=1, slow_repeats=1, knn_max_rows=10_000, knn_timeout=120)
    out = capsys.readouterr().out
    rows = [[c.strip() for c in line.strip("|").split("|")] for line in out.splitlines() if line.startswith("| tiny |")]
    # wall times: the table, five calls, two ratios; CPU times: the table, five calls
    assert [len(cells) for cells in rows] == [1 + len(bench_peers.CALLS) + 2, 1 + len(bench_peers.CALLS)]
    for cells in rows:  # every mirel face and scikit-learn gave a time
        assert all(c.endswith(" ms") or c.endswith(" s") for c in cells[1:5])
    assert "knnimpute" in out.splitlines()[0]
    # knnimpute skipped above the row cap
    bench_peers.run(["tiny"], 1, 1, 1, knn_max_rows=10, knn_timeout=120, calls=("knnimpute",))
    assert "skipped (> 10 rows)" in capsys.readouterr().out


@pytest.mark.parametrize("name", ["lowrank", "digits", "loaddigits"])
def test_the_structured_tables_are_what_they_say(name, tmp_path):
    import numpy as np
    import structured_tables

    ((kind, rows, cols, rate),) = structured_tables.chosen([name])
    args = structured_tables.write(str(tmp_path), [(kind, min(rows, 2000), cols, rate)])
    x = np.fromfile(args[0][1:], dtype="<f8").reshape(int(args[1]), int(args[2]))
    assert x.shape == (min(rows, 2000), cols) and abs(np.isnan(x).mean() - rate) < 0.01
    filled = np.where(np.isnan(x), 0.0, x)
    if kind == "lowrank":  # rank 4 plus noise of 0.1: the fifth singular value is noise
        s = np.linalg.svd(filled - filled.mean(axis=0), compute_uv=False)
        assert s[4] < 0.3 * s[3]
    else:  # load_digits' values, with noise only in the tiled table
        assert (np.abs(filled - np.round(filled)) > 1e-9).any() == (kind == "digits")


ENGINE = os.path.join(BENCHMARKS, "..", "build", "bench", "mirel_bench_engine")


@pytest.mark.parametrize("mode", ["", "split", "self"])
def test_the_engine_benchmark_prints_the_loop_floor_beside_each_pass(mode):
    import subprocess

    if not os.path.exists(ENGINE):
        pytest.skip("the engine benchmark is not built (benchmarks/bench_engine.sh builds it)")
    env = {**os.environ, "BENCH_REPEATS": "1", "BENCH_QUERY": mode}
    if not mode:
        del env["BENCH_QUERY"]
    done = subprocess.run(
        [ENGINE, "300", "12", "0.1", "100", "70", "0.3"], env=env, check=True, capture_output=True, text=True
    )
    # The floor asks the kernels for the very lane-columns the pass asks for, or says so.
    assert "loop floor" not in done.stderr
    lines = [line.split() for line in done.stdout.splitlines() if line.startswith(("300x12 ", "100x70 "))]
    assert lines  # one per kernel
    for f in lines:
        # size [nan|mode] q kernel wall cpu pair-el/s skipped | floor ratio floor-el/s build
        cpu, floor, ratio, build = float(f[5]), float(f[8]), float(f[9]), float(f[11])
        assert floor >= 0 and ratio > 0 and build >= 0 and float(f[10]) > 0
        # ratio = pass CPU / floor CPU, up to the rounding of the printed values
        assert abs(ratio * floor - cpu) <= 5e-5 * (1 + ratio) + 0.005 * floor


def test_the_structured_tables_run_in_the_engine_benchmark_with_a_floor_summary(capsys, monkeypatch):
    import structured_tables

    if not os.path.exists(ENGINE):
        pytest.skip("the engine benchmark is not built (benchmarks/bench_engine.sh builds it)")
    monkeypatch.setenv("BENCH_REPEATS", "1")
    structured_tables.engine(ENGINE, structured_tables.chosen(["loaddigits"]), ["row", "self"], rounds=2)
    summary = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| loaddigits 1797x64 |")]
    # one line per mode and kernel, each from two rounds
    assert {line.split("|")[2].strip() for line in summary} == {"row", "self"}
    assert all(float(line.split("|")[6]) > 0 for line in summary)
