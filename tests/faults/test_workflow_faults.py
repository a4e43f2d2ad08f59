"""The workflow scripts' outputs under faults: planted links, commands and
folders that fail, signals and kills half way through a write."""
import json
import os
import pathlib
import signal
import subprocess
import sys

from conftest import frozen, temps

SCRIPTS = pathlib.Path(__file__).resolve().parents[2] / "workflow" / "scripts"


def script(cwd, name, *args):
    return subprocess.run([sys.executable, SCRIPTS / name, *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, timeout=300)


def capture(*args):
    return [sys.executable, SCRIPTS / "outputs.py", *args]


def test_outputs_are_whole_and_never_written_through_links(tmp_path):
    (tmp_path / "A/v1").mkdir(parents=True)
    (tmp_path / "A/v1/eval.json").write_text(json.dumps(
        {"TP": 1, "FP": 2, "FN": 3, "TN": 4, "Recall": 0.25, "Specificity": 2 / 3, "FPR": 1 / 3,
         "FNR": 0.75, "PWC": 50.0, "Precision": 1 / 3, "F-measure": 2 / 7}))
    precious = tmp_path / "precious"
    precious.write_bytes(b"precious")
    (tmp_path / "t").mkdir()
    planted = ["o.json", "t/videos.csv", "t/table.md", "t/f.png", "t/table.md.part"]
    for name in planted:
        (tmp_path / name).symlink_to(precious)
    cases = [  # script and arguments, the file written, how it starts
        ("outputs.py", ["o.json", "echo", "{}"], "o.json", b"{}\n"),
        ("tables.py", ["videos", "t", "A/v1/eval.json"], "t/videos.csv", b"category,video,TP"),
        ("tables.py", ["videos", "t", "A/v1/eval.json"], "t/table.md", b"# Results per category"),
        ("plots.py", ["categories", "t/categories.csv", "t/f.png"], "t/f.png", b"\x89PNG"),
    ]
    for name, args, written, start in cases:
        r = script(tmp_path, name, *args)
        assert (r.returncode, r.stderr) == (0, ""), name
        assert not (tmp_path / written).is_symlink() and (tmp_path / written).read_bytes().startswith(start)
    assert precious.read_bytes() == b"precious" and temps(tmp_path) == temps(tmp_path / "t") == []


def test_a_failure_keeps_what_the_file_held(tmp_path):
    (tmp_path / "o.json").write_text("old")
    cases = [  # arguments, status, standard error, what o.json holds after
        (["--ok", "3", "o.json", "sh", "-c", "echo new; exit 3"], 0, "", "new\n"),
        (["o.json", "sh", "-c", "echo newer; exit 3"], 3, "", "new\n"),
        (["o.json", "sh", "-c", "echo newer; kill -TERM $$"], -signal.SIGTERM, "", "new\n"),
        (["o.json", "no-such-program"], 127,
         "outputs.py: cannot run no-such-program: No such file or directory\n", "new\n"),
        (["none/o.json", "echo"], 1, "outputs.py: cannot write none/o.json: No such file or directory\n", "new\n"),
    ]
    for args, status, err, held in cases:
        r = subprocess.run(capture(*args), cwd=tmp_path, capture_output=True, text=True)
        assert (r.returncode, r.stderr) == (status, err), args
        assert (tmp_path / "o.json").read_text() == held and temps(tmp_path) == [], args


def test_a_signal_or_a_kill_half_way_leaves_the_earlier_file(tmp_path):
    (tmp_path / "o.json").write_text("old")
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        p = frozen(capture("o.json", "echo", "new"), tmp_path, "o.json")
        p.send_signal(sig)
        p.send_signal(signal.SIGCONT)
        p.communicate()
        assert p.returncode == -sig and (tmp_path / "o.json").read_text() == "old" and temps(tmp_path) == []
    p = frozen(capture("o.json", "echo", "new"), tmp_path, "o.json")
    # A live run's temporary is not another's to remove.
    r = subprocess.run(capture("o.json", "echo", "other"), cwd=tmp_path, capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (0, "") and len(temps(tmp_path)) == 1
    p.kill()
    p.communicate()
    left = temps(tmp_path)
    r = subprocess.run(capture("o.json", "echo", "again"), cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 0 and (tmp_path / "o.json").read_text() == "again\n" and temps(tmp_path) == []
    assert r.stderr == f"outputs.py: Removed {left[0]}, left by an earlier run that did not end\n"
