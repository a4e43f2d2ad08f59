"""No source folder includes a folder above it: core < colour < model, adapt < mask < engine < cli."""
import pathlib
import re

RANK = {"core": 0, "colour": 1, "model": 2, "adapt": 2, "mask": 3, "engine": 4, "cli": 5, "scvardo": -1}
SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def test_includes_only_run_downwards():
    upward = []
    for f in SRC.glob("*/*.*"):
        here = f.parent.name
        for there in re.findall(r'#include "([a-z]+)/', f.read_text()):
            if there != here and RANK.get(there, 99) >= RANK[here]:
                upward.append(f"{f.relative_to(SRC)} includes {there}/")
    assert upward == []
