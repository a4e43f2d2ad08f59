"""The Python module and sc-vardo-video against sc-vardo on a generated sample."""
import os
import subprocess
from pathlib import Path

import cv2
import numpy as np
import pytest

import scvardo

K = 20


def run(*args, cwd=None):
    return subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True)


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """150 frames of 160x120 and sc-vardo's masks for them with -K 20."""
    root = tmp_path_factory.mktemp("sample")
    assert run(os.environ["SCVARDO_MAKE_SAMPLE"], root / "seq").returncode == 0
    (root / "ref").mkdir()
    done = run(os.environ["SCVARDO_EXE"], root / "seq/input/in", 1, 150, "-K", K, cwd=root / "ref")
    assert done.returncode == 0 and done.stderr == ""
    return root


def frame(root, i):
    return cv2.imread(str(root / f"seq/input/in{i:06d}.jpg"))


def ref_mask(root, i):
    return cv2.imread(str(root / f"ref/bin{i:06d}.png"), cv2.IMREAD_UNCHANGED)


def test_masks_and_saved_model_match_sc_vardo(sample, tmp_path):
    roi = cv2.imread(str(sample / "seq/ROI.bmp"), cv2.IMREAD_GRAYSCALE)
    bs = scvardo.createBackgroundSubtractor(K=K, roi=roi)
    for i in range(1, 101):
        mask = bs.apply(frame(sample, i))
        assert mask.shape == (120, 160) and mask.dtype == np.uint8
        expected = ref_mask(sample, i) if i > K else np.zeros_like(mask)
        assert np.array_equal(mask, expected), f"frame {i}"
    bs.save(str(tmp_path / "m.yml.gz"))
    again = scvardo.createBackgroundSubtractor()
    again.load(str(tmp_path / "m.yml.gz"))
    assert again.getFrameCount() == 100 and again.getParams()["K"] == K
    for i in range(101, 111):
        assert np.array_equal(again.apply(frame(sample, i)), ref_mask(sample, i)), f"frame {i}"
    assert bs.getModelImage().shape == (360, 480, 3) and bs.getLabels().shape == (120, 160)


def test_adaptive_matches_sc_vardo_and_survives_a_save(sample, tmp_path):
    (tmp_path / "cli").mkdir()
    done = run(os.environ["SCVARDO_EXE"], sample / "seq/input/in", 1, 60, "-K", K, "--adaptive",
               "--absorb-span", 30, cwd=tmp_path / "cli")
    assert done.returncode == 0, done.stderr
    roi = cv2.imread(str(sample / "seq/ROI.bmp"), cv2.IMREAD_GRAYSCALE)
    bs = scvardo.createBackgroundSubtractor(K=K, roi=roi, adaptive=True, absorbSpan=30)
    assert bs.getParams()["adaptive"] is True and bs.getParams()["absorbSpan"] == 30
    for i in range(1, 41):
        bs.apply(frame(sample, i))
    bs.save(str(tmp_path / "m.yml.gz"))
    again = scvardo.createBackgroundSubtractor()
    again.load(str(tmp_path / "m.yml.gz"))
    assert again.getParams()["adaptive"] is True
    for i in range(41, 61):
        expected = cv2.imread(str(tmp_path / f"cli/bin{i:06d}.png"), cv2.IMREAD_UNCHANGED)
        assert np.array_equal(again.apply(frame(sample, i)), expected), f"frame {i}"
    with pytest.raises(ValueError, match="absorbSpan"):
        scvardo.createBackgroundSubtractor(adaptive=True, absorbSpan=0)


def test_bad_input_raises_and_changes_nothing(sample, tmp_path):
    bs = scvardo.createBackgroundSubtractor(K=2)
    good = frame(sample, 1)
    bs.apply(good)
    cases = [
        ("frame", TypeError, "numpy array"),
        (good.astype(np.float32), TypeError, "uint8"),
        (good[:, :, 0], ValueError, "(H, W, 3)"),
        (np.zeros((120, 160, 4), np.uint8), ValueError, "(H, W, 3)"),
        (good[::2, ::2], ValueError, ""),          # another size
        (good[:, ::-1], ValueError, "contiguous"),
    ]
    for bad, error, words in cases:
        with pytest.raises(error, match=None) as caught:
            bs.apply(bad)
        assert words in str(caught.value)
    assert bs.getFrameCount() == 1
    for kwargs, error in [({"n": 4}, ValueError), ({"medianWidth": 2}, ValueError), ({"K": -1}, ValueError),
                          ({"nn": 3}, TypeError), ({"n": 3.5}, TypeError),
                          ({"roi": np.zeros((120, 160), np.float64)}, TypeError)]:
        with pytest.raises(error):
            scvardo.createBackgroundSubtractor(**kwargs)
    (tmp_path / "junk.yml").write_text("%YAML:1.0\nformat: other\n")
    with pytest.raises(ValueError):
        bs.load(str(tmp_path / "junk.yml"))
    with pytest.raises(OSError):
        bs.load(str(tmp_path / "missing.yml"))
    assert bs.getFrameCount() == 1


def test_video_front_end_matches_sc_vardo(sample, tmp_path):
    video = os.environ["SCVARDO_VIDEO_EXE"]
    first, rest = tmp_path / "first", tmp_path / "rest"
    for folder, frames in ((first, range(1, 101)), (rest, range(101, 151))):
        folder.mkdir()
        for i in frames:
            (folder / f"f{i:06d}.jpg").symlink_to(sample / f"seq/input/in{i:06d}.jpg")
    done = run(video, first, "-K", K, "--roi", sample / "seq/ROI.bmp", "--out", tmp_path / "a", "--save-model", tmp_path / "m.yml.gz",
               "--mask-video", tmp_path / "masks.avi", "--overlay", tmp_path / "over.avi")
    assert (done.returncode, done.stderr) == (0, "")
    assert sorted(p.name for p in (tmp_path / "a").iterdir())[0] == f"bin{K + 1:06d}.png"
    # Continuing from the saved model: no calibration, masks numbered from 1.
    assert run(video, rest, "--load-model", tmp_path / "m.yml.gz", "--out", tmp_path / "b").returncode == 0
    for i in range(K + 1, 151):
        got = tmp_path / (f"a/bin{i:06d}.png" if i <= 100 else f"b/bin{i - 100:06d}.png")
        assert np.array_equal(cv2.imread(str(got), cv2.IMREAD_UNCHANGED), ref_mask(sample, i)), f"frame {i}"
    for name in ("masks.avi", "over.avi"):
        assert cv2.VideoCapture(str(tmp_path / name)).get(cv2.CAP_PROP_FRAME_COUNT) == 100 - K


def test_exit_statuses_and_messages(sample, tmp_path):
    video = os.environ["SCVARDO_VIDEO_EXE"]
    seq = sample / "seq/input"
    for args, status, words in [
        ([], 2, "Usage"),
        ([seq, "-K"], 2, "missing value for -K"),
        ([seq, "-K", "5x"], 2, 'invalid value "5x" for -K'),
        ([seq, "--fast"], 2, "unknown switch --fast"),
        ([seq, "-n", "4"], 2, "invalid n 4"),
        ([seq, "--load-model", tmp_path / "m", "-K", "5"], 2, "cannot be combined"),
        ([tmp_path / "none.avi"], 1, "cannot open video"),
        ([seq, "--load-model", tmp_path / "none.yml"], 1, "cannot read model file"),
    ]:
        done = run(video, *args)
        assert done.returncode == status and words in done.stderr, args
    assert run(video, "--version").stdout.startswith("sc-vardo-video ")
    # sc-vardo on a sequence without temporalROI.txt and without -K: one warning, on stderr only.
    (tmp_path / "bare/input").mkdir(parents=True)
    for i in (1, 2, 3):
        (tmp_path / f"bare/input/in{i:06d}.jpg").symlink_to(seq / f"in{i:06d}.jpg")
    done = run(os.environ["SCVARDO_EXE"], tmp_path / "bare/input/in", 1, 3, "-ROI", 0, cwd=tmp_path)
    assert done.returncode == 0 and "Warning" not in done.stdout
    assert done.stderr.startswith("Warning: K=0, no calibration") and done.stderr.count("\n") == 1
