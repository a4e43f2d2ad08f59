"""The dataset workflow: tables from hand-made results, then the whole
Snakemake workflow on a small generated CDnet-layout tree."""
import csv
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
WORKFLOW = REPO / "workflow"
BUILD = Path(os.environ.get("SCVARDO_BUILD_DIR", REPO / "build"))
MAKE_SAMPLE = os.environ.get("SCVARDO_MAKE_SAMPLE", str(BUILD / "tools" / "make-sample"))
EVAL = os.environ.get("SCVARDO_EVAL", str(BUILD / "tools" / "sc-vardo-eval"))
# The Snakefile finds sc-vardo and sc-vardo-eval on PATH.
TOOL_PATH = os.pathsep.join([str(Path(os.environ.get("SCVARDO_EXE", BUILD / "sc-vardo")).parent),
                             str(Path(EVAL).parent), os.environ["PATH"]])
METRICS = ["Recall", "Specificity", "FPR", "FNR", "PWC", "Precision", "F-measure"]


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def eval_json(path, tp, fp, fn, tn, *metrics):
    path.parent.mkdir(parents=True)
    path.write_text(json.dumps(dict(zip(["TP", "FP", "FN", "TN"] + METRICS,
                                        [tp, fp, fn, tn] + list(metrics)))))
    return str(path)


def test_tables_from_hand_made_results(tmp_path):
    # Metrics as sc-vardo-eval prints them; Y/c has no ground-truth foreground,
    # so its Recall, FNR and F-measure (printed as 0) are undefined.
    files = [
        eval_json(tmp_path / "X/a/eval.json", 3, 1, 1, 5, .75, .833333, .166667, .25, 20, .75, .75),
        eval_json(tmp_path / "X/b/eval.json", 2, 2, 2, 4, .5, .666667, .333333, .5, 40, .5, .5),
        eval_json(tmp_path / "Y/c/eval.json", 0, 2, 0, 8, 0, .8, .2, 0, 20, 0, 0),
    ]
    out = tmp_path / "out"
    subprocess.run([sys.executable, WORKFLOW / "scripts/tables.py", "videos", out] + files,
                   check=True)
    assert (out / "categories.csv").read_text() == (
        "category,videos,Recall,Specificity,FPR,FNR,PWC,Precision,F-measure,undefined\n"
        "X,2,0.625000,0.750000,0.250000,0.375000,30.000000,0.625000,0.625000,0\n"
        "Y,1,,0.800000,0.200000,,20.000000,0.000000,,1\n"
        "overall,3,0.625000,0.775000,0.225000,0.375000,25.000000,0.312500,0.625000,1\n")
    assert (out / "videos.csv").read_text().splitlines()[3] == (
        "Y,c,0,2,0,8,,0.800000,0.200000,,20.000000,0.000000,")
    assert "| overall | 3 | 0.625000 |" in (out / "table.md").read_text()


def snakemake(tmp, *args, config=()):
    cmd = [sys.executable, "-m", "snakemake", "--snakefile", WORKFLOW / "Snakefile", "--cores",
           "2", "--config", "dataset=tree", "results=out", *config, *args]
    r = subprocess.run(cmd, cwd=tmp, env=dict(os.environ, PATH=TOOL_PATH),
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout + r.stderr


def planned(tmp, config=()):
    """Jobs a dry run would start, by rule (empty when nothing is to be done)."""
    text = snakemake(tmp, "-n", config=config)
    return {m[1]: int(m[2]) for m in re.finditer(r"^(\w+)\s+(\d+)\s+\d+\s+\d+$", text, re.M)
            if m[1] not in ("all", "total")}


def test_workflow_on_a_generated_tree(tmp_path):
    if importlib.util.find_spec("snakemake") is None:
        pytest.skip("snakemake is not installed: Debian package snakemake, "
                    "which ./scripts/test.sh installs")
    # Two categories of two short videos; B/v4's temporal ROI (frames 5..12)
    # holds no ground-truth foreground: Recall and F-measure undefined.
    shapes = {"A/v1": ("24", "32x24"), "A/v2": ("30", "40x24"),
              "B/v3": ("27", "24x32"), "B/v4": ("24", "32x24")}
    for video, (frames, size) in shapes.items():
        subprocess.run([MAKE_SAMPLE, tmp_path / "tree" / video, "--frames", frames, "--size", size],
                       check=True, capture_output=True)
    (tmp_path / "tree/B/v4/temporalROI.txt").write_text("5 12\n")

    snakemake(tmp_path)
    out = tmp_path / "out"
    videos = read_csv(out / "videos.csv")
    assert [(v["category"], v["video"]) for v in videos] == [tuple(k.split("/")) for k in shapes]
    for v in videos:
        by_hand = json.loads(subprocess.run(
            [EVAL, out / v["category"] / v["video"] / "masks", tmp_path / "tree" / v["category"] /
             v["video"], "--json"], check=True, capture_output=True, text=True).stdout)
        for k in ["TP", "FP", "FN", "TN"]:
            assert int(v[k]) == by_hand[k], (v, k)
        assert v["F-measure"] == ("" if v["video"] == "v4" else f"{by_hand['F-measure']:.6f}")
    assert videos[3]["Recall"] == "" and videos[3]["Specificity"] == "1.000000"

    cats = read_csv(out / "categories.csv")
    assert [c["category"] for c in cats] == ["A", "B", "overall"]
    assert [c["undefined"] for c in cats] == ["0", "1", "1"]
    for m in METRICS:
        means = []
        for c in cats[:2]:
            mine = [float(v[m]) for v in videos if v["category"] == c["category"] and v[m]]
            assert float(c[m]) == pytest.approx(sum(mine) / len(mine), abs=6e-7), (c, m)
            means.append(float(c[m]))
        assert float(cats[2][m]) == pytest.approx(sum(means) / 2, abs=6e-7), m
    assert "| overall | 4 |" in (out / "table.md").read_text()
    pngs = ["f-measure.png"] + [f"frames_{k.replace('/', '_')}.png" for k in shapes]
    for png in pngs:
        assert (out / png).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", png

    # A rerun does nothing; a deleted output is made again, and only it.
    assert planned(tmp_path) == {}
    (out / "table.md").unlink()
    (out / "frames_A_v2.png").unlink()
    assert planned(tmp_path) == {"tables": 1, "plot_frames": 1}
    snakemake(tmp_path)
    assert (out / "table.md").exists() and (out / "frames_A_v2.png").exists()
    assert planned(tmp_path) == {}
    # Other switches: every video runs again.
    assert planned(tmp_path, ["switches=-Cw 3"])["run"] == 4

    # A sweep on category A: the set without switches repeats the plain run's figures.
    (tmp_path / "sets.yaml").write_text(
        '- name: plain\n  switches: ""\n- name: cw3\n  switches: "-Cw 3 -Med 3"\n')
    snakemake(tmp_path, config=["results=sweep", "sweep=sets.yaml", "frame_plots=false",
                                "categories=A"])
    sweep = read_csv(tmp_path / "sweep/sweep.csv")
    assert [s["set"] for s in sweep] == ["plain", "cw3"]
    assert sweep[0] == {"set": "plain", "A": cats[0]["F-measure"], "overall": cats[0]["F-measure"]}
    best = max(sweep, key=lambda s: float(s["overall"]))
    assert f"| {best['set']} |" in (tmp_path / "sweep/sweep.md").read_text()
    assert f"- best for overall: {best['set']} (" in (tmp_path / "sweep/sweep.md").read_text()
    assert (tmp_path / "sweep/sweep.png").exists()
