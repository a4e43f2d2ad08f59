"""sc-vardo-video under faults: outputs aimed at inputs, destinations that
cannot be written, signals, kills, concurrent runs, planted links, a full
disk, damaged frames and videos."""
import os
import re
import shutil
import signal

import cv2
import pytest

from conftest import EXE, VIDEO, frozen, record, snapshot, temps, tool

K = 10  # of the small sample's 30 frames


def video(cwd, *args, **kw):
    return tool(VIDEO, cwd, *args, **kw)


def frames_in(path):
    return int(cv2.VideoCapture(str(path)).get(cv2.CAP_PROP_FRAME_COUNT))


@pytest.fixture
def work(samples, tmp_path):
    """frames/ (the small sample's 30 frames), in.avi (the same as MJPG),
    roi.bmp; the tests run here."""
    shutil.copytree(samples / "small" / "input", tmp_path / "frames")
    shutil.copy(samples / "small" / "ROI.bmp", tmp_path / "roi.bmp")
    out = cv2.VideoWriter(str(tmp_path / "in.avi"), cv2.VideoWriter_fourcc(*"MJPG"), 25, (48, 40))
    for name in sorted(os.listdir(tmp_path / "frames")):
        out.write(cv2.imread(str(tmp_path / "frames" / name)))
    out.release()
    return tmp_path


def test_outputs_never_overwrite_inputs(work):
    cases = [  # arguments, the clash
        (["in.avi", "--overlay", "in.avi"], "--overlay in.avi names the same file as the input in.avi"),
        (["in.avi", "--mask-video", "in.avi"], "--mask-video in.avi names the same file as the input in.avi"),
        (["in.avi", "--save-model", "./in.avi"], "--save-model ./in.avi names the same file as the input in.avi"),
        (["frames", "--out", "frames"], "--out frames names the same folder as the input frames"),
        (["frames", "--out", "./frames/"], "--out ./frames/ names the same folder as the input frames"),
        (["in.avi", "--mask-video", "v.avi", "--overlay", "./v.avi"],
         "--overlay ./v.avi names the same file as --mask-video v.avi"),
        (["in.avi", "--roi", "roi.bmp", "--save-model", "roi.bmp"],
         "--save-model roi.bmp names the same file as --roi roi.bmp"),
        (["in.avi", "--overlay", "frames"], "--overlay frames is a folder"),
        # An image written into the input folder would be read as a frame.
        (["frames", "--overlay", "frames/x.png"], "--overlay frames/x.png names the same file as a frame "
                                                   "of the input frames/x.png"),
    ]
    before = snapshot(work)
    for args, clash in cases:
        r = video(work, *args)
        assert (r.returncode, r.stdout, r.stderr) == (2, "", f"sc-vardo-video: {clash}\n"), args
        assert snapshot(work) == before, args


def test_destinations_are_tried_before_the_first_frame(work):
    cases = [  # arguments, the one line
        (["--save-model", "none/m.yml.gz"], "cannot write model file none/m.yml.gz: No such file or directory"),
        (["--save-model", "in.avi/m.yml.gz"], "cannot write model file in.avi/m.yml.gz: Not a directory"),
        (["--mask-video", "none/m.avi"], "cannot write video none/m.avi: No such file or directory"),
        (["--out", "in.avi/masks"], "cannot create folder in.avi/masks"),
    ]
    before = snapshot(work)
    for args, line in cases:
        r = video(work, "frames", "-K", K, "--out", "o", *args)
        assert (r.returncode, r.stdout, r.stderr) == (3, "", f"sc-vardo-video: {line}\n"), args
        assert snapshot(work) == before, args


def test_a_bare_run_writes_what_it_says(work):
    """The reference for what follows: every output of an ordinary run. A
    hidden file in the input folder (another run's temporary) is no frame."""
    (work / "frames" / ".in000031.jpg.scvardo-tmp.1.AbCdEf.jpg").write_bytes(b"half a frame")
    r = video(work, "frames", "-K", K, "--out", "o", "--mask-video", "m.avi", "--overlay", "v.avi",
              "--save-model", "m.yml.gz")
    assert (r.returncode, r.stdout, r.stderr) == (0, "saving model to m.yml.gz\n30 frames, 20 masks; model saved to m.yml.gz\n", "")
    assert (frames_in(work / "m.avi"), frames_in(work / "v.avi")) == (20, 20)
    assert sorted(os.listdir(work / "o")) == [".sc-vardo.lock"] + [f"bin{f:06d}.png" for f in range(11, 31)] + ["sc-vardo-run.txt"]
    assert record(work / "o").startswith("sc-vardo-video run record\ncommand: sc-vardo-video frames -K 10 --out o ")
    assert re.search(r"^finished: \S+Z, exit status 0$", record(work / "o"), re.M)
    assert temps(work) == []


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_finishes_the_files_then_ends_the_run_as_itself(work, sig):
    p = frozen([VIDEO, "frames", "-K", K, "--out", "o", "--mask-video", "m.avi", "--save-model", "m.yml.gz"],
               work, "bin")
    p.send_signal(sig)
    p.send_signal(signal.SIGCONT)
    out, err = p.communicate()
    assert (p.returncode, out, err) == (-sig, "saving model to m.yml.gz\n11 frames, 1 masks (stopped by "
                                        f"{sig.name}); model saved to m.yml.gz\n", "")
    assert frames_in(work / "m.avi") == 1 and temps(work) == temps(work / "o") == []
    assert record(work / "o").endswith(f" with exit status {128 + sig}\n")
    # The saved model goes on where the run stopped: every frame gets a mask.
    r = video(work, "frames", "--load-model", "m.yml.gz", "--out", "again")
    assert (r.returncode, r.stdout) == (0, "30 frames, 30 masks\n")


def test_a_second_signal_during_the_save_keeps_the_earlier_model(work):
    (work / "m.yml.gz").write_bytes(b"old")
    p = frozen([VIDEO, "frames", "-K", K, "--save-model", "m.yml.gz"], work, "m.yml")
    p.send_signal(signal.SIGINT)
    p.send_signal(signal.SIGTERM)
    p.send_signal(signal.SIGCONT)
    out, _ = p.communicate()
    assert p.returncode in (-signal.SIGINT, -signal.SIGTERM) and out == "saving model to m.yml.gz\n"
    assert (work / "m.yml.gz").read_bytes() == b"old" and temps(work) == []


def test_a_killed_run_leaves_temporaries_that_the_next_removes(work):
    for folder in ("o", "v", "s"):
        (work / folder).mkdir()
    args = ["frames", "-K", K, "--out", "o", "--mask-video", "v/m.avi", "--save-model", "s/m.yml.gz"]
    p = frozen([VIDEO, *args], work, "bin")
    p.kill()
    p.communicate()
    left = {folder: temps(work / folder) for folder in ("o", "v", "s")}
    assert all(len(names) == 1 for names in left.values()) and "finished: no\n" in record(work / "o")
    r = video(work, *args)
    assert r.returncode == 0 and all(temps(work / folder) == [] for folder in left)
    assert sorted(r.stderr.splitlines()) == sorted(
        f"sc-vardo-video: Removed {folder}/{name}, left by an earlier run that did not end"
        for folder, names in left.items() for name in names)


def test_one_run_at_a_time_in_a_folder(work):
    a = frozen([VIDEO, "frames", "-K", K, "--out", "o"], work, "bin")
    for exe, args, cwd in [(VIDEO, ["frames", "-K", K, "--out", "o"], work),
                           (EXE, [work / "frames" / "in", "1", "30", "-K", K, "-ROI", 0], work / "o")]:
        r = tool(exe, cwd, *args)
        assert r.returncode == 3 and r.stderr.count("\n") == 1, r.stderr
    assert r.stderr == "Another sc-vardo run is writing into this folder (it holds .sc-vardo.lock); not started\n"
    r = video(work, "frames", "--out", "o")
    assert r.stderr == ("sc-vardo-video: Another sc-vardo or sc-vardo-video run is writing into o "
                        "(it holds o/.sc-vardo.lock); not started\n")
    a.send_signal(signal.SIGCONT)
    a.communicate()
    assert a.returncode == 0 and len([n for n in os.listdir(work / "o") if n.startswith("bin")]) == 20


def test_planted_links_are_replaced_not_followed(work):
    precious = work / "precious"
    precious.write_bytes(b"precious")
    (work / "m.avi").symlink_to(precious)
    os.link(precious, work / "v.avi")
    (work / "m.yml.gz").symlink_to(precious)
    r = video(work, "frames", "-K", K, "--mask-video", "m.avi", "--overlay", "v.avi", "--save-model", "m.yml.gz")
    assert r.returncode == 0 and precious.read_bytes() == b"precious" and os.stat(precious).st_nlink == 1
    assert not any(os.path.islink(work / n) for n in ("m.avi", "v.avi", "m.yml.gz"))
    assert frames_in(work / "m.avi") == frames_in(work / "v.avi") == 20


def test_a_full_disk_is_status_3_and_keeps_the_earlier_video(work, tmpfs):
    (tmpfs / "m.avi").write_bytes(b"old")
    free = os.statvfs(tmpfs)
    (tmpfs / "filler").write_bytes(bytes(free.f_bavail * free.f_bsize - 8192))  # 8 KiB left
    r = video(work, "frames", "-K", K, "--mask-video", tmpfs / "m.avi")
    assert r.returncode == 3
    assert r.stderr.splitlines()[-1].startswith(f"sc-vardo-video: cannot write video {tmpfs}/m.avi: ")
    assert (tmpfs / "m.avi").read_bytes() == b"old" and temps(tmpfs) == []


def damage(work, how):
    """Damages the input and returns its name, with the line the run ends with."""
    if how in ("truncated", "resized", "text"):
        f = work / "frames" / "in000020.jpg"
        data = f.read_bytes()
        if how == "truncated":
            f.write_bytes(data[:len(data) // 2])
            return "frames", f"Corrupt image file frames/in000020.jpg: Premature end of JPEG file"
        if how == "resized":
            cv2.imwrite(str(f), cv2.imread(str(f))[:20, :24])
            return "frames", "image file frames/in000020.jpg is 24x20 but the first frame is 48x40"
        f.write_text("not a picture")
        return "frames", "Unable to read expected file frames/in000020.jpg"
    data = bytearray((work / "in.avi").read_bytes())
    if how == "cut":
        del data[len(data) // 2:]
    else:  # a stretch in the middle overwritten
        data[len(data) // 3:len(data) // 3 + 4000] = bytes(4000)
    (work / "in.avi").write_bytes(bytes(data))
    return "in.avi", re.compile(r"video in\.avi ended after \d+ of 30 frames")


@pytest.mark.parametrize("how", ["truncated", "resized", "text", "cut", "overwritten"])
def test_damaged_input_is_status_1_after_finishing_the_files(work, how):
    given, line = damage(work, how)
    r = video(work, given, "-K", K, "--out", "o", "--mask-video", "m.avi")
    last = r.stderr.splitlines()[-1]
    assert r.returncode == 1 and (line.fullmatch(last[16:]) if isinstance(line, re.Pattern) else last == "sc-vardo-video: " + line)
    frames, masks = map(int, re.fullmatch(r"(\d+) frames, (\d+) masks\n", r.stdout).groups())
    assert masks == max(0, frames - K) and frames < 30
    assert frames_in(work / "m.avi") == masks == len([n for n in os.listdir(work / "o") if n.startswith("bin")])
    assert record(work / "o").endswith(" with exit status 1\n")
