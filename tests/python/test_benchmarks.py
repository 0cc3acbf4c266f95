"""The benchmark harness (benchmarks/bench.py and its subcommands), end to end on tables small
enough for the suite.

A real run takes minutes to hours, so nothing else notices a subcommand that no longer gets
through its table list (the scikit-learn comparison once failed at its first table after the
table list changed shape)."""

import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")
BENCHMARKS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks")
if not os.path.isfile(os.path.join(BENCHMARKS, "bench.py")):
    pytest.skip("the benchmark harness is not beside these tests", allow_module_level=True)
sys.path.insert(0, BENCHMARKS)

import bench  # noqa: E402
import tables  # noqa: E402
from commands import compare, small  # noqa: E402


def test_every_subcommand_has_a_summary_and_a_main():
    found = bench.commands()
    for name in ("compare", "headline", "peers", "small", "engine", "structured", "threads", "builds", "results"):
        assert name in found
    for name, module in found.items():
        assert bench.summary(module), name
    import importlib

    for module in found.values():
        assert callable(importlib.import_module(module).main)


def test_the_command_lists_its_subcommands_and_refuses_an_unknown_one():
    run = [sys.executable, os.path.join(BENCHMARKS, "bench.py")]
    listing = subprocess.run(run, capture_output=True, text=True, check=True).stdout
    assert all(f"  {name} " in listing for name in bench.commands())
    done = subprocess.run([*run, "no-such-thing"], capture_output=True, text=True)
    assert done.returncode == 2 and "unknown subcommand 'no-such-thing'" in done.stderr


@pytest.mark.parametrize(
    "name, expected",
    [
        ("normal-2000x20", ("normal", 2000, 20, 0.10)),
        ("normal-10000x32-nan5", ("normal", 10000, 32, 0.05)),
        ("lowrank-20000x32", ("lowrank", 20000, 32, 0.03)),
        ("digits-8985x64-nan5", ("digits", 8985, 64, 0.05)),
        ("loaddigits-1797x64-nan10", ("loaddigits", 1797, 64, 0.10)),
        ("normal-40x4-nan20", ("normal", 40, 4, 0.20)),
    ],
)
def test_table_names_give_their_tables_and_back(name, expected):
    assert tables.spec(name) == expected
    assert tables.name_of(*expected) == name


@pytest.mark.parametrize("name", ["normal", "normal-0x4", "uniform-10x4", "loaddigits-2000x64", "normal-10x4-nanx"])
def test_a_bad_table_name_is_refused(name):
    with pytest.raises(ValueError):
        tables.spec(name)


def test_every_listed_table_is_a_table_and_the_full_run_has_one_of_fifty_thousand_rows():
    sets = [tables.COMPARE, tables.COMPARE_LARGE, tables.QUICK, tables.PEERS, tables.STRUCTURED]
    sets += [tables.STRUCTURED_FACES, tables.ENGINE_NORMAL, tables.SCALING, tables.PLOT, [tables.HEADLINE]]
    for names in sets:
        for _kind, rows, cols, rate in map(tables.spec, names):
            assert rows > 0 and cols > 0 and 0 < rate < 1
    full = [tables.spec(n) for n in tables.COMPARE + tables.COMPARE_LARGE]
    assert max(rows for _, rows, _, _ in full) >= 50_000
    assert {kind for kind, *_ in map(tables.spec, tables.COMPARE)} == {"normal", "lowrank", "digits"}


def test_both_comparisons_run_end_to_end(capsys):
    # Each measurement is a worker subprocess of the harness, as in a real run.
    records = compare.run(["lowrank-48x6-nan10"], mirel_repeats=1, skipped=False)
    out = capsys.readouterr().out
    assert out.startswith("CPU: ")
    rows = [[c.strip() for c in line.strip("|").split("|")] for line in out.splitlines() if line.startswith("| ")]
    assert rows[0][:3] == ["table", "call", "q"]
    body = rows[2:]
    assert [(r[0], r[1]) for r in body] == [("lowrank-48x6-nan10", c) for c in compare.CALLS]
    assert all(r[9].endswith("x") and r[10].endswith("x") for r in body)  # the two ratios
    # both libraries impute the same cells the same way on these tables (ties aside)
    assert all(rec["diff"] < 1e-9 for rec in records)


def test_the_headline_measures_one_table(capsys):
    from commands import headline

    headline.main(["--table", "normal-40x4-nan20", "--repeats", "1"])
    out = capsys.readouterr().out
    assert "times faster than scikit-learn on normal-40x4-nan20" in out
    assert sum(line.startswith("| normal-40x4-nan20 |") for line in out.splitlines()) == 2


def test_the_small_tables_run_end_to_end_and_are_checked(capsys):
    small.main(["--repeats", "1", "--rounds", "1", "--tables", "iris,wine"])
    rows = [
        line for line in capsys.readouterr().out.splitlines() if line.startswith("| iris") or line.startswith("| wine")
    ]
    assert [row.split("|")[1].strip() for row in rows] == ["iris", "wine"]
    assert all(row.split("|")[5].strip().endswith("x") for row in rows)  # the ratio column


@pytest.mark.parametrize("name", ["iris", "wine"])
def test_the_small_tables_check_refuses_a_difference_outside_tied_cells(name):
    X = small.table(name)
    assert np.isnan(X).mean() == pytest.approx(0.10, abs=0.005)
    ours = small.CALLS["mirel.sklearn"](X)
    theirs = small.CALLS["sklearn"](X)
    small.compare(name, X, ours, theirs)  # agrees (tied cells aside)
    # A cell that is not tied, changed: the check must refuse it.
    cells = [(r, c) for r, c in zip(*np.nonzero(np.isnan(X))) if not small.tied(X, r, c)]
    r, c = cells[0]
    wrong = ours.copy()
    wrong[r, c] += 1.0
    with pytest.raises(SystemExit, match="outside tied cells"):
        small.compare(name, X, wrong, theirs)
    moved = ours.copy()
    moved[r, c] = np.nan
    with pytest.raises(SystemExit, match="NaN positions"):
        small.compare(name, X, moved, theirs)


def test_the_peer_table_runs_end_to_end(capsys, monkeypatch):
    from commands import peers

    monkeypatch.setitem(peers.TABLES, "tiny", ("lowrank", 30, 5, 0.2))
    peers.run(["tiny"], rounds=1, repeats=1, slow_repeats=1, knn_max_rows=10_000, knn_timeout=120)
    out = capsys.readouterr().out
    rows = [[c.strip() for c in line.strip("|").split("|")] for line in out.splitlines() if line.startswith("| tiny |")]
    # wall times: the table, five calls, two ratios; CPU times: the table, five calls
    assert [len(cells) for cells in rows] == [1 + len(peers.CALLS) + 2, 1 + len(peers.CALLS)]
    for cells in rows:  # every mirel face and scikit-learn gave a time
        assert all(c.endswith(" ms") or c.endswith(" s") for c in cells[1:5])
    assert out.startswith("CPU: ") and "knnimpute" in out.splitlines()[1]
    # knnimpute skipped above the row cap
    peers.run(["tiny"], 1, 1, 1, knn_max_rows=10, knn_timeout=120, calls=("knnimpute",))
    assert "skipped (> 10 rows)" in capsys.readouterr().out


@pytest.mark.parametrize("name", ["lowrank", "digits", "loaddigits"])
def test_the_structured_tables_are_what_they_say(name, tmp_path):
    from commands import structured

    ((kind, rows, cols, rate),) = structured.chosen([name])
    args = structured.write(str(tmp_path), [(kind, min(rows, 2000), cols, rate)])
    x = np.fromfile(args[0][1:], dtype="<f8").reshape(int(args[1]), int(args[2]))
    assert x.shape == (min(rows, 2000), cols) and abs(np.isnan(x).mean() - rate) < 0.01
    filled = np.where(np.isnan(x), 0.0, x)
    if kind == "lowrank":  # rank 4 plus noise of 0.1: the fifth singular value is noise
        s = np.linalg.svd(filled - filled.mean(axis=0), compute_uv=False)
        assert s[4] < 0.3 * s[3]
    else:  # load_digits' values, with noise only in the tiled table
        assert (np.abs(filled - np.round(filled)) > 1e-9).any() == (kind == "digits")


def test_the_structured_faces_run(capsys):
    from commands import structured

    structured.faces(["lowrank-60x6", "loaddigits-100x64-nan10"], ["row", "fit_tr", "split"], 1, permute=True)
    rows = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| ")]
    assert [r.split("|")[1].strip() for r in rows[2:]] == ["lowrank-60x6", "loaddigits-100x64-nan10"]


ENGINE = tables.ENGINE


@pytest.mark.parametrize("mode", ["", "split", "self"])
def test_the_engine_benchmark_prints_the_loop_floor_beside_each_pass(mode):
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
    # the harness turns the same lines into markdown rows of one width
    from commands import engine

    rows = engine.rows_of(done.stdout)
    assert len(rows) == len(lines) and {len(r) for r in rows} == {12}


def test_the_structured_tables_run_in_the_engine_benchmark_with_a_floor_summary(capsys, monkeypatch):
    from commands import structured

    if not os.path.exists(ENGINE):
        pytest.skip("the engine benchmark is not built (benchmarks/bench_engine.sh builds it)")
    monkeypatch.setenv("BENCH_REPEATS", "1")
    structured.engine(ENGINE, structured.chosen(["loaddigits"]), ["row", "self"], rounds=2)
    summary = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| loaddigits 1797x64 |")]
    # one line per mode and kernel, each from two rounds
    assert {line.split("|")[2].strip() for line in summary} == {"row", "self"}
    assert all(float(line.split("|")[6]) > 0 for line in summary)


def test_the_results_file_keeps_its_kept_part_and_the_sections_not_rerun(tmp_path):
    from commands import results

    old = results.compose(
        "# old\n", [results.section("Both faces against scikit-learn", ["compare"], "old figures")], ""
    )
    old += "| quiet | 1 |\n"
    sections, kept = results.split_previous(old)
    assert "old figures" in sections["Both faces against scikit-learn"] and kept == "| quiet | 1 |"
    body = results.to_markdown(
        "peers", "CPU: x\n  progress\nround 1 a b: 1 ms\n\n| a | b |\n| --- | --- |\n| 1 | 2 |\ntail\n"
    )
    assert body == "```\nCPU: x\n```\n\n| a | b |\n| --- | --- |\n| 1 | 2 |\n\n```\ntail\n```"
    # A run of one section: the other sections and the kept part stay as they were.
    path = tmp_path / "RESULTS.md"
    path.write_text(old)
    monkey = [
        (
            "small",
            "Small tables: the fixed cost of one call",
            ["small", "--repeats", "1", "--rounds", "1", "--tables", "iris"],
        )
    ]
    saved = results.SECTIONS
    results.SECTIONS = saved[:1] + monkey
    try:
        results.main(["--only", "small", "--out", str(path)])
    finally:
        results.SECTIONS = saved
    text = path.read_text()
    assert "old figures" in text and "| iris | 150 x 4 |" in text and text.rstrip().endswith("| quiet | 1 |")


@pytest.mark.parametrize(
    "name, argv, expect",
    [
        ("mixed", ["--rows", "300", "--sklearn-rows", "100"], "300 x 20, n_jobs=2: MixedImputer"),
        ("index", ["--sizes", "2000", "--check-rows", "50"], "recall measured"),
        ("callables", ["--quick", "--repeats", "1"], "outputs close: True"),
    ],
)
def test_the_index_mixed_and_callable_commands_run_end_to_end(name, argv, expect, capsys):
    import importlib

    pytest.importorskip("pandas")
    importlib.import_module("commands." + name).main(argv)
    out = capsys.readouterr().out
    assert expect in out
    assert "outputs close: False" not in out


def test_the_mixture_table_is_what_index_peers_measure():
    full, holed = tables.mixture(500, seed=3)
    again_full, again_holed = tables.mixture(500, seed=3)
    assert np.array_equal(full, again_full) and np.array_equal(holed, again_holed, equal_nan=True)
    removed = np.isnan(holed)
    assert not np.isnan(full).any() and 0.05 < removed.mean() < 0.15
    assert np.array_equal(holed[~removed], full[~removed])
