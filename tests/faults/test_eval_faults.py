"""sc-vardo-eval under faults: outputs aimed at inputs, planted links,
destinations that cannot be written, signals and kills, and the frame
numbers past six digits that sc-vardo writes."""
import os
import shutil
import signal

import cv2
import numpy as np
import pytest

from conftest import EVAL, EXE, frozen, snapshot, temps, tool


@pytest.fixture
def scored(samples, tmp_path):
    """seq/ (the small sample), masks/ (sc-vardo's over frames 11..30)."""
    shutil.copytree(samples / "small", tmp_path / "seq")
    (tmp_path / "masks").mkdir()
    r = tool(EXE, tmp_path / "masks", tmp_path / "seq/input/in")
    assert r.returncode == 0, r.stderr
    return tmp_path


def test_outputs_never_overwrite_inputs(scored):
    cases = [  # arguments after MASKDIR SEQDIR, the clash
        (["--per-frame", "seq/ROI.bmp"], "--per-frame seq/ROI.bmp names the same file as the ROI seq/ROI.bmp"),
        (["--per-frame", "seq/temporalROI.txt"],
         "--per-frame seq/temporalROI.txt names the same file as the temporal ROI seq/temporalROI.txt"),
        (["--per-frame", "./masks/bin000012.png"],
         "--per-frame ./masks/bin000012.png names the same file as a mask masks/bin000012.png"),
        (["--per-frame", "seq/groundtruth/gt000012.png"],
         "--per-frame seq/groundtruth/gt000012.png names the same file as a ground truth seq/groundtruth/gt000012.png"),
        (["--overlay", "p", "--per-frame", "p/contact-sheet.png"],
         "--overlay p/contact-sheet.png names the same file as --per-frame p/contact-sheet.png"),
        (["--overlay", "masks"], "--overlay masks names the same folder as the mask folder masks"),
        (["--overlay", "seq/input/"], "--overlay seq/input/ names the same folder as the input-frame folder seq/input"),
    ]
    before = snapshot(scored)
    for args, clash in cases:
        r = tool(EVAL, scored, "masks", "seq", *args)
        assert (r.returncode, r.stdout, r.stderr) == (
            2, "", f"sc-vardo-eval: {clash} (see sc-vardo-eval --help)\n"), args
        assert snapshot(scored) == before, args


def test_outputs_are_whole_and_never_written_through_links(scored):
    precious = scored / "precious"
    precious.write_bytes(b"precious")
    (scored / "f.csv.part").symlink_to(precious)  # where a fixed temporary name would go
    (scored / "g.csv").symlink_to(precious)
    for name in ("f.csv", "g.csv"):
        r = tool(EVAL, scored, "masks", "seq", "--per-frame", name)
        assert r.returncode == 0 and (scored / name).read_text().startswith("frame,TP,FP,FN,TN,")
    assert precious.read_bytes() == b"precious" and not (scored / "g.csv").is_symlink()
    # A destination that cannot be written fails before the work, nothing printed.
    r = tool(EVAL, scored, "masks", "seq", "--per-frame", "none/f.csv")
    assert (r.returncode, r.stdout, r.stderr) == (
        1, "", "sc-vardo-eval: cannot create none/f.csv: No such file or directory\n")


def test_a_signal_or_a_kill_leaves_no_cut_picture(scored):
    p = frozen([EVAL, "masks", "seq", "--overlay", "p", "--every", "5"], scored, "overlay")
    p.send_signal(signal.SIGTERM)
    p.send_signal(signal.SIGCONT)
    p.communicate()
    assert p.returncode == -signal.SIGTERM and temps(scored / "p") == []
    p = frozen([EVAL, "masks", "seq", "--overlay", "p", "--every", "5"], scored, "overlay")
    p.kill()
    p.communicate()
    left = temps(scored / "p")
    assert len(left) == 1
    r = tool(EVAL, scored, "masks", "seq", "--overlay", "p", "--every", "5")
    assert r.returncode == 0 and temps(scored / "p") == []
    assert r.stderr == f"sc-vardo-eval: Removed p/{left[0]}, left by an earlier run that did not end\n"
    assert sorted(os.listdir(scored / "p")) == ["contact-sheet.png"] + [f"overlay{f:06d}.png" for f in (11, 16, 21, 26)]


def test_frame_numbers_of_seven_digits(tmp_path):
    """sc-vardo writes bin999999.png, bin1000000.png ...: they are scored."""
    seq, masks = tmp_path / "seq", tmp_path / "masks"
    (seq / "groundtruth").mkdir(parents=True)
    masks.mkdir()
    cv2.imwrite(str(seq / "ROI.bmp"), np.full((4, 5), 255, np.uint8))
    (seq / "temporalROI.txt").write_text("999999 1000001\n")
    for f in (999999, 1000000, 1000001):
        truth = np.zeros((4, 5), np.uint8)
        truth[0, :f - 999998] = 255
        cv2.imwrite(str(seq / "groundtruth" / f"gt{f:06d}.png"), truth)
        cv2.imwrite(str(masks / f"bin{f:06d}.png"), np.full((4, 5), 255, np.uint8))
    for extra, first in ([], 999999), (["--first", "1000000", "--last", "1000001"], 1000000):
        r = tool(EVAL, tmp_path, "masks", "seq", "--json", *extra)
        assert r.returncode == 0, r.stderr
        positives = sum(f - 999998 for f in range(first, 1000002))
        assert f'"first": {first}, "last": 1000001, "TP": {positives}, "FP": {20 * (1000002 - first) - positives}' in r.stdout
