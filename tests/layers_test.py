"""The layers hold: no source folder includes a folder above it
(core < colour < model, adapt < mask < schedule < engine < cli); the command-line tools, the
Python module and tools/ stand on the public face and core only; and no
files of src/cli include each other in a circle (a file's header and its
.cpp count as one)."""
import pathlib
import re

RANK = {"core": 0, "colour": 1, "model": 2, "adapt": 2, "mask": 3, "schedule": 4, "engine": 5, "cli": 6,
        "scvardo": -1}
ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
INCLUDE = re.compile(r'#include "([a-z_]+)/([a-z_]+)\.[a-z]+"')


def includes(path):
    return INCLUDE.findall(path.read_text())


def test_includes_only_run_downwards():
    upward = []
    for f in SRC.glob("*/*.*"):
        here = f.parent.name
        for there, _ in includes(f):
            if there != here and RANK.get(there, 99) >= RANK[here]:
                upward.append(f"{f.relative_to(SRC)} includes {there}/")
    assert upward == []


def test_front_ends_stand_on_the_face_and_core():
    allowed = {"src/cli": {"cli", "core", "scvardo"}, "python": {"scvardo"}, "tools": {"core", "scvardo"}}
    below = []
    for folder, ok in allowed.items():
        for f in (ROOT / folder).glob("*.*"):
            below += [f"{f.relative_to(ROOT)} includes {there}/" for there, _ in includes(f) if there not in ok]
    assert below == []


def test_cli_files_include_each_other_without_circles():
    graph = {}
    for f in (SRC / "cli").glob("*.*"):
        graph.setdefault(f.stem, set()).update(name for there, name in includes(f) if there == "cli" and name != f.stem)
    done, path = set(), []

    def visit(unit):
        if unit in path:
            raise AssertionError("include circle: " + " -> ".join(path[path.index(unit):] + [unit]))
        if unit in done:
            return
        path.append(unit)
        for other in sorted(graph.get(unit, ())):
            visit(other)
        path.pop()
        done.add(unit)

    for unit in sorted(graph):
        visit(unit)
