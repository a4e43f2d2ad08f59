"""sc-vardo under faults: corrupt frames, bad switches and plans, kills,
planted links, a full disk, concurrent runs, a lost standard output."""
import os
import re
import shutil
import signal
import subprocess

import pytest

from conftest import EVAL, EXE, SANITIZED, frozen, record, temps, tool


def run(cwd, prefix, *args, **kw):
    return tool(EXE, cwd, prefix, *args, **kw)


def frame(root, f):
    return root / "seq" / "input" / f"in{f:06d}.jpg"


def with_size(data, w, h):
    """The JPEG with its frame header declaring w x h."""
    i = data.index(b"\xff\xc0")
    return data[:i + 5] + h.to_bytes(2, "big") + w.to_bytes(2, "big") + data[i + 9:]


def test_corrupt_frames_are_refused(seq):
    out, prefix = seq / "out", seq / "seq" / "input" / "in"
    good = {f: frame(seq, f).read_bytes() for f in (1, 20)}
    cases = [  # frame, new bytes, status, message
        (1, good[1][:len(good[1]) // 2], 1,
         f"Corrupt image file {frame(seq, 1)}: Premature end of JPEG file"),
        (20, good[20][:len(good[20]) // 2], 1,
         f"Corrupt image file {frame(seq, 20)}: Premature end of JPEG file"),
        (1, with_size(good[1], 60000, 60000), 1,
         f"Image file {frame(seq, 1)} declares 60000x60000 pixels, more than can be read"),
        (20, with_size(good[20], 60000, 60000), 1,
         f"Frame {frame(seq, 20)} is 60000x60000 but the sequence's frames are 48x40"),
    ]
    for f, data, status, message in cases:
        for name in os.listdir(out):
            os.remove(out / name)
        frame(seq, f).write_bytes(data)
        r = run(out, prefix)
        frame(seq, f).write_bytes(good[f])
        assert (r.returncode, message) == (status, (r.stdout + r.stderr).strip().splitlines()[-1])
        masks = sorted(n for n in os.listdir(out) if n.startswith("bin"))
        assert masks == [f"bin{k:06d}.png" for k in range(11, f)]
    if not SANITIZED:  # an allocation failure while decoding, under a memory limit
        frame(seq, 1).write_bytes(with_size(good[1], 16000, 16000))
        limit = lambda: __import__("resource").setrlimit(__import__("resource").RLIMIT_AS,
                                                         (600 << 20, 600 << 20))
        r = run(out, prefix, preexec_fn=limit)
        assert (r.returncode, r.stderr.strip()) == (
            4, f"Not enough memory to read image file {frame(seq, 1)}")


@pytest.mark.parametrize("value,taken", [
    ("nan", None), ("inf", None), ("-Infinity", None), ("1e999", None), ("0x1p3", None),
    ("0x10", None), ("1e", None), (".", None), ("5 ", None), ("0.1x", None),
    (".5", True), ("1e-2", True), (" 5", True), ("5.", True), ("", False), ("-3E+2", False)])
def test_real_switch_grammar(tmp_path, value, taken):
    r = run(tmp_path, tmp_path / "none", "1", "1", "-e1", value)
    if taken:  # past the switches: the missing first frame ends the run
        assert (r.returncode, r.stdout) == (1, f"Unable to read expected file {tmp_path}/none000001.jpg\n")
    elif taken is False:  # a number, but out of the range of e1
        assert (r.returncode, r.stdout) == (2, "") and r.stderr.startswith('Invalid value ') and \
            r.stderr.endswith(' for "-e1": it must be greater than 0\n')
    else:
        assert (r.returncode, r.stdout, r.stderr) == (2, "", 'Lread_dswitch: Manca arg. per "-e1"\n')


def test_unusable_frame_plans_are_refused_before_any_work(seq):
    out, prefix, troi = seq / "out", seq / "seq" / "input" / "in", seq / "seq" / "temporalROI.txt"
    cases = [  # temporalROI.txt (None: a link to /dev/zero), switches, message
        ("25 12", [], f"Temporal ROI [25,12] in {prefix.parent}/../temporalROI.txt is reversed: no mask would be written"),
        ("0 0", [], f"Temporal ROI [0,0] in {prefix.parent}/../temporalROI.txt ends before the first frame 1: no mask would be written"),
        ("11 30", ["31", "2", "-K", "1"], "No frame to process: the last frame 2 comes before the first 31"),
        ("11 30", ["1", "30", "-K", "40"], "Calibration on 40 frames from frame 1 reaches past the last frame 30: no mask would be written"),
        (None, [], f"Temporal ROI file {prefix.parent}/../temporalROI.txt is not a regular file"),
        ("11 30" + " " * 5000, [], f"Temporal ROI file {prefix.parent}/../temporalROI.txt is larger than 4096 bytes"),
    ]
    for text, switches, message in cases:
        troi.unlink()
        troi.symlink_to("/dev/zero") if text is None else troi.write_text(text)
        r = run(out, prefix, *switches)
        assert (r.returncode, r.stdout, os.listdir(out)) == (1, message + "\n", [])


def frozen_run(samples, out, *extra):
    """A run on the larger sample (4.6 MB snapshots after every frame) that
    stops itself half way through writing its first snapshot."""
    p = frozen([EXE, samples / "big" / "input" / "in", "1", "30", "-n", "9", "-m", "1", *extra],
               out, "Model")
    assert [n for n in temps(out) if n.startswith(".Model")]
    return p


PPM_HEADER = b"P6\n1440 1080\n255\n"


def complete_or_old(out):
    for name in os.listdir(out):
        if name.startswith("Model"):
            data = (out / name).read_bytes()
            assert data == b"old" or (data.startswith(PPM_HEADER) and
                                      len(data) == len(PPM_HEADER) + 1440 * 1080 * 3)


def test_kills_leave_no_cut_file_and_stale_temporaries_are_removed(samples, tmp_path):
    out = tmp_path
    for f in range(1, 31):
        (out / f"Model{f:06d}.ppm").write_bytes(b"old")
    # SIGTERM (and SIGINT, SIGHUP) mid-write: the temporary goes, the earlier file stays.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        p = frozen_run(samples, out)
        p.send_signal(sig)
        p.send_signal(signal.SIGCONT)
        assert (p.wait(), temps(out)) == (-sig, [])
        complete_or_old(out)
    # SIGKILL mid-write leaves a temporary and an unfinished record ...
    p = frozen_run(samples, out)
    left = temps(out)
    p.kill()
    p.wait()
    assert left and temps(out) == left and "finished: no\n" in record(out)
    complete_or_old(out)
    r = subprocess.run([EVAL, str(out), str(samples / "big")], capture_output=True, text=True)
    assert f"sc-vardo-eval: warning: the run that wrote {out} did not finish" in r.stderr
    # ... which the next run in the folder removes, sparing a live process's.
    live = out / f".bin000001.png.scvardo-tmp.{os.getpid()}.abcdef.png"
    live.write_bytes(b"")
    r = run(out, samples / "big" / "input" / "in", "1", "12", "-K", "10")
    assert r.returncode == 0 and temps(out) == [live.name]
    assert r.stderr == "".join(f"Removed {n}, left by an earlier run that did not end\n" for n in left)
    assert re.search(r"^finished: \S+Z, exit status 0$", record(out), re.M)
    r = subprocess.run([EVAL, str(out), str(samples / "big"), "--first", "11", "--last", "12"],
                       capture_output=True, text=True)
    assert (r.returncode, "warning" in r.stderr) == (0, False)


def test_concurrent_runs_and_planted_links(samples, seq, tmp_path):
    out = seq / "out"
    a = frozen_run(samples, out)
    b = run(out, samples / "big" / "input" / "in")
    assert (b.returncode, b.stdout, b.stderr) == (
        3, "", "Another sc-vardo run is writing into this folder (it holds .sc-vardo.lock); not started\n")
    a.send_signal(signal.SIGCONT)
    assert a.wait() == 0
    # Outputs replace links planted under their names; the targets stay as they were.
    shutil.rmtree(out)
    out.mkdir()
    target = tmp_path / "precious.txt"
    target.write_text("precious")
    (out / "Model000030.ppm").symlink_to(target)
    os.link(target, out / "bin000012.png")
    r = run(out, seq / "seq" / "input" / "in")
    assert r.returncode == 0 and target.read_text() == "precious" and os.stat(target).st_nlink == 1
    assert not (out / "Model000030.ppm").is_symlink()
    # A lock file that is a link is refused, not followed.
    os.remove(out / ".sc-vardo.lock")
    (out / ".sc-vardo.lock").symlink_to(target)
    r = run(out, seq / "seq" / "input" / "in")
    assert r.returncode == 3 and r.stderr.startswith("Cannot open lock file .sc-vardo.lock")


def test_full_disk_keeps_earlier_files(seq, tmpfs):
    disk = tmpfs
    (disk / "Model000010.ppm").write_bytes(b"P6\n144 120\n255\n" + b"\x07" * 4000)
    before = (disk / "Model000010.ppm").read_bytes()
    r = run(disk, seq / "seq" / "input" / "in")
    assert r.returncode == 3 and "No space left on device" in r.stderr
    assert (disk / "Model000010.ppm").read_bytes() == before and temps(disk) == []
    for name in os.listdir(disk):
        if name.startswith("bin"):
            assert (disk / name).read_bytes().endswith(b"IEND\xaeB`\x82")


@pytest.mark.parametrize("how", ["full", "closed"])
def test_lost_standard_output_is_status_3(seq, how):
    out = seq / "out"
    kw = {"stdout": open("/dev/full", "w")} if how == "full" else {"preexec_fn": lambda: os.close(1)}
    r = subprocess.run([EXE, str(seq / "seq" / "input" / "in")], cwd=out, stderr=subprocess.PIPE,
                       text=True, stdin=subprocess.DEVNULL, **kw)
    assert (r.returncode, r.stderr) == (3, "Cannot write the console output to standard output\n")
    assert "exit status 3" in record(out) and os.path.getsize(out / ".sc-vardo.lock") == 0
