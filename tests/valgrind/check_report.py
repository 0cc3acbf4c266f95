"""Reads valgrind memcheck XML reports and fails on every finding that involves mirel's own
shared object: a definite leak whose allocation stack passes through it, a memory error
(invalid read/write/free, overlapping copies, bad system-call arguments, ...) any of whose
stacks (where it happened, where the block was allocated or freed) passes through it, or a use
of uninitialised bytes that mirel allocated (the origin stack of --track-origins).

Findings whose stacks lie wholly in the interpreter, NumPy, pandas or the C library are the
interpreter's own business (CPython never frees everything at exit; NumPy's vector loops read
whole words): they are counted and listed, not failed on. Usage:
    python3 check_report.py OBJECT_SUBSTRING REPORT.xml...
"""

import collections
import sys
import xml.etree.ElementTree as ET


def frames(error):
    stacks = error.findall("stack")
    kind = error.findtext("kind") or ""
    if kind.startswith("Uninit"):
        # Judged by where the uninitialised bytes came from (--track-origins): the interpreter
        # itself reads values memcheck cannot prove initialised, also inside calls that mirel
        # makes; what counts is memory that mirel allocated and left unset.
        stacks = stacks[1:]
    for stack in stacks:
        for frame in stack.iter("frame"):
            yield frame.findtext("obj") or "", frame.findtext("fn") or "?"


def main(argv):
    ours_marker, reports = argv[1], argv[2:]
    ours, others = [], collections.Counter()
    checked = skipped = 0
    for path in reports:
        try:
            root = ET.parse(path).getroot()
        except ET.ParseError as exc:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            if "<error>" not in text:
                # a forked child that exec'd another program: valgrind stopped following it
                skipped += 1
                continue
            print(f"{path}: unreadable report with findings ({exc})")
            return 2
        checked += 1
        for error in root.iter("error"):
            kind = error.findtext("kind") or "?"
            if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
                continue
            hits = [f"{fn} ({obj})" for obj, fn in frames(error) if ours_marker in obj]
            if hits:
                what = error.findtext("xwhat/text") or error.findtext("what") or kind
                ours.append((kind, what, hits[:6]))
            else:
                others[kind] += 1
    print(
        f"valgrind: {checked} reports read ({skipped} of exec'd children skipped); findings outside mirel (not failed on): "
        + (", ".join(f"{k} {n}" for k, n in sorted(others.items())) or "none")
    )
    if checked == 0:
        print("valgrind: no report was written")
        return 2
    for kind, what, hits in ours:
        print(f"MIREL {kind}: {what}\n    " + "\n    ".join(hits))
    print(f"valgrind: {len(ours)} findings in mirel")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
