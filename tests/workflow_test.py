"""The dataset workflow: tables from hand-made results, then the whole
Snakemake workflow on a small generated CDnet-layout tree, its page in
headless Chromium, an interrupted run resumed, and trees it refuses."""
import contextlib
import csv
import html
import importlib.util
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
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


def snakemake_command(*args, config=()):
    """The README's command (the local profile), on two cores."""
    return [sys.executable, "-m", "snakemake", "--snakefile", WORKFLOW / "Snakefile", "--profile",
            WORKFLOW / "profiles/local", "--cores", "2", "--config", "dataset=tree",
            "results=out", *config, *args]


def snakemake(tmp, *args, config=(), status=0, path=TOOL_PATH):
    r = subprocess.run(snakemake_command(*args, config=config), cwd=tmp,
                       env=dict(os.environ, PATH=path), capture_output=True, text=True)
    assert r.returncode == status, r.stdout + r.stderr
    return r.stdout + r.stderr


def needs_snakemake():
    if importlib.util.find_spec("snakemake") is None:
        pytest.skip("snakemake is not installed: Debian package snakemake, "
                    "which ./scripts/test.sh installs")


def make_tree(root, shapes):
    for video, (frames, size) in shapes.items():
        subprocess.run([MAKE_SAMPLE, root / video, "--frames", frames, "--size", size],
                       check=True, capture_output=True)


def own_tools(tmp):
    """Copies of sc-vardo and sc-vardo-eval first on PATH, so that a test can
    rebuild one by touching it."""
    bin_dir = tmp / "bin"
    bin_dir.mkdir()
    for exe in (os.environ.get("SCVARDO_EXE", BUILD / "sc-vardo"), EVAL):
        shutil.copy2(exe, bin_dir)
    return os.pathsep.join([str(bin_dir), TOOL_PATH])


CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--host-resolver-rules=MAP * ~NOTFOUND"]
# Appended to a copy of the page: what the browser made of it, as JSON.
PROBE = """<script>addEventListener("load", () => {
  const pre = document.createElement("pre");
  pre.id = "render-check";
  pre.textContent = JSON.stringify({
    images: [...document.images].map(i => [i.getAttribute("src"), i.complete, i.naturalWidth]),
    tables: [...document.querySelectorAll("table")].map(
      t => [...t.rows].map(r => [...r.cells].map(c => c.textContent)))});
  document.body.appendChild(pre);
});</script>"""


def png_width(path):
    return int.from_bytes(path.read_bytes()[16:20], "big")


def rendered(page):
    """The page as headless Chromium shows it: its tables (rows of cell texts)
    and, per picture, [src, loaded, decoded width]."""
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.skip("chromium is not installed: Debian package chromium, "
                    "which ./scripts/test.sh installs")
    text = page.read_text()
    for link in re.findall(r'(?:src|href)="([^"]*)"', text):
        assert link.startswith("#") or (page.parent / html.unescape(link)).is_file(), link
    with tempfile.TemporaryDirectory() as tmp:
        # The copy reads the pictures beside the page.
        probe = Path(tmp) / "probe.html"
        probe.write_text(text.replace("<head>", f'<head><base href="{page.parent.as_uri()}/">', 1)
                         .replace("</body>", PROBE + "</body>"))
        r = subprocess.run([chromium, *CHROMIUM_FLAGS, f"--user-data-dir={tmp}/profile",
                            "--virtual-time-budget=20000", "--dump-dom", probe.as_uri()],
                           capture_output=True, text=True, timeout=300,
                           env=dict(os.environ, HOME=tmp))
    m = re.search(r'<pre id="render-check">(.*?)</pre>', r.stdout, re.S)
    assert m, r.stderr[-3000:]
    return json.loads(html.unescape(m[1]))


def check_page(page, tables, pictures):
    """index.html renders `tables` (lists of rows of cell texts, header
    first) and decodes exactly `pictures` (paths relative to the page)."""
    seen = rendered(page)
    assert seen["tables"] == tables
    assert sorted(i[0] for i in seen["images"]) == sorted(pictures)
    for src, loaded, width in seen["images"]:
        assert loaded and width == png_width(page.parent / src) > 0, src


def csv_table(path, undefined="n/a"):
    with open(path, newline="") as f:
        return [[c if c != "" or i == 0 else undefined for c in row]
                for i, row in enumerate(csv.reader(f))]


def planned(tmp, path, config=()):
    """Jobs a dry run would start, by rule (empty when nothing is to be done)."""
    text = snakemake(tmp, "-n", config=config, path=path)
    return {m[1]: int(m[2]) for m in re.finditer(r"^(\w+)\s+(\d+)\s+\d+\s+\d+$", text, re.M)
            if m[1] not in ("all", "total")}


def test_workflow_on_a_generated_tree(tmp_path):
    needs_snakemake()
    # Two categories of two short videos; B/v4's temporal ROI (frames 5..12)
    # holds no ground-truth foreground: Recall and F-measure undefined.
    shapes = {"A/v1": ("24", "32x24"), "A/v2": ("30", "40x24"),
              "B/v3": ("27", "24x32"), "B/v4": ("24", "32x24")}
    make_tree(tmp_path / "tree", shapes)
    (tmp_path / "tree/B/v4/temporalROI.txt").write_text("5 12\n")
    path = own_tools(tmp_path)

    snakemake(tmp_path, path=path)
    out = tmp_path / "out"
    # One worker thread per job unless the config says otherwise.
    for video in shapes:
        assert re.search(r"^command: .* --threads 1$", (out / video / "masks/sc-vardo-run.txt")
                         .read_text(), re.M), video
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
    sheets = [f"{k}/pictures/contact-sheet.png" for k in shapes]
    for png in pngs + sheets:
        assert (out / png).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", png
    # The page: both tables as the CSV files hold them, every chart and sheet decoded.
    check_page(out / "index.html", [csv_table(out / "categories.csv"),
                                    csv_table(out / "videos.csv")], pngs + sheets)

    # A rerun does nothing; a deleted output is made again, and only it.
    assert planned(tmp_path, path) == {}
    (out / "table.md").unlink()
    (out / "frames_A_v2.png").unlink()
    assert planned(tmp_path, path) == {"tables": 1, "plot_frames": 1, "page": 1}
    snakemake(tmp_path, path=path)
    assert (out / "table.md").exists() and (out / "frames_A_v2.png").exists()
    assert planned(tmp_path, path) == {}
    # Other switches, or a rebuilt sc-vardo: every video runs again.
    assert planned(tmp_path, path, ["switches=-Cw 3"])["run"] == 4
    newer = max(p.lstat().st_mtime for p in out.rglob("*")) + 1
    os.utime(tmp_path / "bin/sc-vardo", (newer, newer))
    assert planned(tmp_path, path)["run"] == 4
    # More threads per run, from the config or the command line.
    assert "--threads 2 >" in snakemake(tmp_path, "-n", "-p", "-F", path=path, config=[
        'resources={"run": {"threads": 2}}'])
    assert "--threads 2 >" in snakemake(tmp_path, "-n", "-p", "-F", "--set-threads", "run=2",
                                        path=path)

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
    # Its page: the sweep table, then each set's tables, charts and sheets.
    sets = ["plain", "cw3"]
    check_page(tmp_path / "sweep/index.html",
               [csv_table(tmp_path / "sweep/sweep.csv")] +
               [csv_table(tmp_path / f"sweep/{s}/{t}.csv") for s in sets
                for t in ("categories", "videos")],
               ["sweep.png"] + [f"{s}/{p}" for s in sets for p in
                                ["f-measure.png", "A/v1/pictures/contact-sheet.png",
                                 "A/v2/pictures/contact-sheet.png"]])


# Run by the workflow in place of sc-vardo: the real one, then, when asked,
# a signal to the test and a wait that only Ctrl-C ends.
BLOCKING_TOOL = """#!/bin/sh
"$REAL_SC_VARDO" "$@" || exit
if [ -n "$TEST_PID" ]; then
  kill -USR1 "$TEST_PID"
  read never < "$NEVER"
fi
"""


def test_an_interrupted_run_resumes_with_the_same_command(tmp_path):
    needs_snakemake()
    make_tree(tmp_path / "tree", {"A/v1": ("24", "32x24"), "A/v2": ("24", "32x24")})
    tool = tmp_path / "sc-vardo"
    tool.write_text(BLOCKING_TOOL)
    tool.chmod(0o755)
    os.mkfifo(tmp_path / "never")
    env = dict(os.environ, PATH=TOOL_PATH, REAL_SC_VARDO=os.environ.get(
        "SCVARDO_EXE", str(BUILD / "sc-vardo")), NEVER=str(tmp_path / "never"))
    config = [f"sc_vardo={tool}"]

    # Ctrl-C on a terminal: SIGINT to the whole foreground process group,
    # while the first video's job has written its masks but not ended.
    waited = {signal.SIGUSR1, signal.SIGCHLD}
    signal.pthread_sigmask(signal.SIG_BLOCK, waited)
    try:
        p = subprocess.Popen(snakemake_command("--cores", "1", config=config), cwd=tmp_path,
                             env=dict(env, TEST_PID=str(os.getpid())), start_new_session=True,
                             preexec_fn=lambda: signal.pthread_sigmask(signal.SIG_UNBLOCK, waited),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        got = signal.sigtimedwait(waited, 600)
        if got is None or got.si_signo != signal.SIGUSR1:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(p.pid, signal.SIGKILL)
            pytest.fail("no job got as far as its masks:\n" + p.communicate()[0])
        os.killpg(p.pid, signal.SIGINT)
        output = p.communicate(timeout=600)[0]
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, waited)
    # Snakemake picks either video first; the blocked one has all its masks.
    assert p.returncode != 0 and any(
        (tmp_path / f"out/A/{v}/masks/bin000024.png").exists() for v in ("v1", "v2")), output
    # Without the profile Snakemake would refuse to go on ...
    r = subprocess.run([sys.executable, "-m", "snakemake", "--snakefile", WORKFLOW / "Snakefile",
                        "--cores", "1", "-n", "--config", "dataset=tree", "results=out", *config],
                       cwd=tmp_path, env=env, capture_output=True, text=True)
    assert r.returncode == 1 and "IncompleteFilesException" in r.stdout + r.stderr
    # ... the README's command resumes.
    r = subprocess.run(snakemake_command(config=config), cwd=tmp_path, env=env,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    assert [row["video"] for row in read_csv(tmp_path / "out/videos.csv")] == ["v1", "v2"]
    assert (tmp_path / "out/index.html").exists()


def test_unusable_trees_stop_the_workflow_before_any_job(tmp_path):
    needs_snakemake()
    make_tree(tmp_path / "good", {"A/v1": ("24", "32x24"), "B/v2": ("24", "32x24")})
    cases = [  # what is removed from B/v2, config, message
        ("temporalROI.txt", [], "/B/v2: no temporalROI.txt"),
        ("groundtruth", [], "/B/v2: no groundtruth"),
        ("input", [], "/B/v2: no input"),
        (None, ["switches=-Cw 3 --threads 4"], "switches: give sc-vardo's threads as resources"),
        (None, ['resources={"run": {"threads": "many"}}'],
         "resources: run: threads must be a whole number of at least 1, not 'many'"),
    ]
    for gone, config, message in cases:
        shutil.rmtree(tmp_path / "tree", ignore_errors=True)
        shutil.copytree(tmp_path / "good", tmp_path / "tree")
        if gone:
            victim = tmp_path / "tree/B/v2" / gone
            victim.unlink() if victim.is_file() else shutil.rmtree(victim)
        text = snakemake(tmp_path, config=config, status=1)
        assert message in text and not (tmp_path / "out").exists(), (gone, text)
    # Leaving the category out is a way round.
    snakemake(tmp_path, "-n", config=["categories=A"])
