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
