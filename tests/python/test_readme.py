"""Every Python block of README.md runs as written, in a fresh interpreter: a reader who pastes
one gets no NameError. A block that is only a fragment says so on the line before it
(`<!-- fragment -->`); it must still compile."""

import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FRAGMENT = "<!-- fragment -->"
# The optional packages a block may import, by the name it imports them under.
OPTIONAL = {"sklearn", "pandas", "dask", "distributed", "tqdm", "zarr"}


def python_blocks():
    lines = README.read_text(encoding="utf-8").splitlines() if README.exists() else []
    blocks, i = [], 0
    while i < len(lines):
        if lines[i].strip() == "```python":
            start = i + 1
            end = lines.index("```", start)
            fragment = i > 0 and lines[i - 1].strip() == FRAGMENT
            blocks.append(pytest.param("\n".join(lines[start:end]) + "\n", fragment, id=f"line{start}"))
            i = end
        i += 1
    return blocks


def imported_roots(code):
    roots = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            roots |= {alias.name.split(".")[0] for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module:
            roots.add(node.module.split(".")[0])
    # mirel.sklearn and mirel.dask need scikit-learn, Dask and distributed.
    if re.search(r"\bmirel\.(sklearn|dask)\b", code):
        roots.add("sklearn")
    if re.search(r"\bmirel\.dask\b", code):
        roots |= {"dask", "distributed"}
    return roots


def test_the_readme_has_python_blocks():
    if not README.exists():
        pytest.skip("README.md is not beside the tests (an installed copy of the tests)")
    assert len(python_blocks()) >= 4


@pytest.mark.parametrize("code, fragment", python_blocks())
def test_readme_block_runs_as_written(code, fragment, tmp_path):
    compile(code, str(README), "exec")
    if fragment:
        return
    for root in sorted(imported_roots(code) & OPTIONAL):
        pytest.importorskip(root)
    # A fresh interpreter: no name leaks from one block into the next, and a block that
    # started threads or a cluster cannot hang the suite.
    done = subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path,
        env=os.environ.copy(),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr[-3000:]
