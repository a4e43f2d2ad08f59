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
    bs.save(tmp_path / "m.scvm")
    again = scvardo.createBackgroundSubtractor(threads=1)
    again.load(str(tmp_path / "m.yml.gz"))
    assert again.getFrameCount() == 100 and again.getParams()["K"] == K and again.getParams()["threads"] == 1
    binary = scvardo.load(tmp_path / "m.scvm")
    for i in range(101, 111):
        assert np.array_equal(again.apply(frame(sample, i)), ref_mask(sample, i)), f"frame {i}"
        assert np.array_equal(binary.apply(frame(sample, i)), ref_mask(sample, i)), f"frame {i}"
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
        (np.zeros((120, 160, 4), np.uint8), ValueError, "(H, W, 3) or (H, W)"),
        (np.zeros((120,), np.uint8), ValueError, "(H, W, 3) or (H, W)"),
        (good[::2, ::2], ValueError, ""),          # another size
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
    done = run(video, first, "-K", K, "--roi", sample / "seq/ROI.bmp", "--out", tmp_path / "a", "--save-model", tmp_path / "m.scvm",
               "--mask-video", tmp_path / "masks.avi", "--overlay", tmp_path / "over.avi")
    assert (done.returncode, done.stderr) == (0, "")
    assert sorted(p.name for p in (tmp_path / "a").iterdir() if p.name.startswith("bin"))[0] == f"bin{K + 1:06d}.png"
    # Continuing from the saved model: no calibration, masks numbered from 1.
    assert run(video, rest, "--load-model", tmp_path / "m.scvm", "--out", tmp_path / "b").returncode == 0
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
        ([seq, "--load-model", tmp_path / "m", "-K", "5"], 2, "cannot be combined"),
        ([tmp_path / "none.avi"], 1, "cannot open video"),
        ([seq, "--load-model", tmp_path / "m", "--roi", tmp_path / "r.png"], 2, "model file holds the ROI"),
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


def test_video_says_when_a_model_is_still_calibrating(sample, tmp_path):
    video = os.environ["SCVARDO_VIDEO_EXE"]
    folder = tmp_path / "three"
    folder.mkdir()
    for i in (1, 2, 3):
        (folder / f"f{i:06d}.jpg").symlink_to(sample / f"seq/input/in{i:06d}.jpg")
    note = "the model has seen 3 of its 50 calibration frames"
    saved = run(video, folder, "--save-model", tmp_path / "m.scvm")
    assert saved.returncode == 0 and saved.stderr == f"sc-vardo-video: {tmp_path / 'm.scvm'}: {note}\n"
    loaded = run(video, folder, "--load-model", tmp_path / "m.scvm", "--save-model", tmp_path / "n.yml.gz")
    assert loaded.returncode == 0 and loaded.stdout == (f"saving model to {tmp_path / 'n.yml.gz'}\n3 frames, "
                                                        f"0 masks; model saved to {tmp_path / 'n.yml.gz'}\n")
    assert loaded.stderr.splitlines() == [f"sc-vardo-video: {tmp_path / 'm.scvm'}: {note}",
                                          f"sc-vardo-video: {tmp_path / 'n.yml.gz'}: the model has seen 6 of its 50 calibration frames"]


def test_cv2_conventions(sample, tmp_path):
    """One table of what a cv2 user relies on; each row a check that must hold."""
    frames = [frame(sample, i) for i in range(1, 41)]
    grey = [cv2.cvtColor(f, cv2.COLOR_BGR2GRAY) for f in frames]
    names = list(scvardo.createBackgroundSubtractor().getParams())

    def masks(bs, images, **apply_kw):
        return [bs.apply(im, **apply_kw).copy() for im in images]

    def same(a, b):
        return all(np.array_equal(x, y) for x, y in zip(a, b))

    def twins(**kw):
        return scvardo.createBackgroundSubtractor(K=K, **kw), scvardo.createBackgroundSubtractor(K=K, **kw)

    def odd_strides():  # row stride 0, negative strides, slices: copied, same result
        a, b = twins()
        for f in frames[:25]:
            b.apply(np.ascontiguousarray(f))
            a.apply(f[::-1, ::-1][::-1, ::-1])
        row = np.broadcast_to(frames[25][60:61], frames[25].shape)
        return np.array_equal(a.apply(row), b.apply(np.ascontiguousarray(row))) and \
            np.array_equal(a.apply(np.asfortranarray(frames[26])), b.apply(frames[26]))

    def grey_is_bgr():
        a, b = twins()
        return same(masks(a, grey), masks(b, [cv2.merge([g, g, g]) for g in grey]))

    def roi_strides():
        roi = np.zeros((120, 160), np.uint8)
        roi[:, 40:] = 255
        a = scvardo.createBackgroundSubtractor(K=K, roi=np.broadcast_to(roi[0], roi.shape))
        b = scvardo.createBackgroundSubtractor(K=K, roi=roi[::-1].copy()[::-1])
        return same(masks(a, frames), masks(b, frames))

    def fgmask_filled():
        bs = scvardo.createBackgroundSubtractor(K=2)
        out = np.full((120, 160), 7, np.uint8)
        got = [bs.apply(f, out) is out for f in frames[:4]]
        return all(got) and set(np.unique(out)) <= {0, 255} and \
            bs.apply(frames[4], np.zeros((3, 3), np.uint8)).shape == (120, 160)

    def raises(exc, fn, *args, **kw):
        try:
            fn(*args, **kw)
        except exc as e:
            return len(str(e)) < 200 and "\n" not in str(e)  # one line, never the frame's contents
        return False

    started = scvardo.createBackgroundSubtractor(K=2)
    started.apply(frames[0])
    fresh = scvardo.createBackgroundSubtractor()
    defaults = fresh.getParams()
    positional = list(defaults.values())
    positional[0], positional[1] = 5, 7
    rows = [
        ("positional in table order", lambda: scvardo.createBackgroundSubtractor(*positional).getParams()
         == dict(defaults, n=5, K=7)),
        ("getParams in table order", lambda: names[:4] == ["n", "K", "e1", "e2"] and names[-7:] == [
            "threads", "adaptive", "absorbSpan", "thresholdLow", "thresholdHigh", "distanceGain", "flickerTrain"]),
        ("a flag is a bool", lambda: defaults["adaptive"] is False and scvardo.createBackgroundSubtractor(
            adaptive=1).getAdaptive() is True),
        ("too many positional", lambda: raises(TypeError, scvardo.createBackgroundSubtractor, *positional, None)),
        ("twice", lambda: raises(TypeError, scvardo.createBackgroundSubtractor, 3, n=3)),
        ("unknown keyword", lambda: raises(TypeError, scvardo.createBackgroundSubtractor, nn=3)),
        ("int for a float", lambda: scvardo.createBackgroundSubtractor(e2=1).getParams()["e2"] == 1.0),
        ("float for an int", lambda: raises(TypeError, scvardo.createBackgroundSubtractor, n=3.0)),
        ("str for a float", lambda: raises(TypeError, scvardo.createBackgroundSubtractor, e2="0.1")),
        *[(f"range {kw}", lambda kw=kw: raises(ValueError, scvardo.createBackgroundSubtractor, **kw)) for kw in [
            {"c2": 1.5}, {"gamma": 5, "beta": 0.1}, {"e2": float("nan")}, {"n": 2**40}, {"K": -1}]],
        ("literature sets", lambda: all(scvardo.createBackgroundSubtractor(**kw) for kw in [
            {"e2": 0.05, "medianWidth": 5}, {"n": 5, "Cw": 3}, {"shadowRemoval": 0}, {"K": 100}])),
        ("apply(image, None, rate)", lambda: started.apply(frames[1], None, 0.0).shape == (120, 160)),
        ("apply by keywords", lambda: started.apply(image=frames[2], learningRate=0.05).dtype == np.uint8),
        *[(f"learningRate {r}", lambda r=r: raises(ValueError, started.apply, frames[3], None, r))
          for r in (float("nan"), 1.5)],
        ("learningRate str", lambda: raises(TypeError, started.apply, frames[3], None, "x")),
        ("apply 4 arguments", lambda: raises(TypeError, started.apply, frames[3], None, 0.1, 1)),
        ("odd strides copied", odd_strides),
        ("grey as B = G = R", grey_is_bgr),
        ("roi of any strides", roi_strides),
        ("fgmask filled", fgmask_filled),
        ("n fixed after the first frame", lambda: raises(ValueError, started.setParams, n=5)),
        ("K fixed after the first frame", lambda: raises(ValueError, started.setCalibrationFrames, 9)),
        ("adaptive fixed after the first frame", lambda: raises(ValueError, started.setAdaptive, True)),
        ("a flag is 0 or 1", lambda: raises(ValueError, scvardo.createBackgroundSubtractor, adaptive=2)),
        ("str for a flag", lambda: raises(TypeError, scvardo.createBackgroundSubtractor, adaptive="yes")),
        ("coherence window too big for the frames", lambda: raises(ValueError, tiny.setParams, Cw=5)),
        ("n before the first frame", lambda: (fresh.setParams(n=5), fresh.apply(frames[0]),
                                               fresh.getModelImage().shape)[2] == (600, 800, 3)),
        ("setParams unknown", lambda: raises(TypeError, started.setParams, zz=1)),
        ("setParams out of range keeps all", lambda: raises(ValueError, started.setParams, tau_S=0.2, c2=2)
         and started.getParams()["tau_S"] == defaults["tau_S"]),
        ("getters and setters", lambda: (started.setOnlineThreshold(0.01), started.getOnlineThreshold())[1]
         == started.getParams()["e2"] != defaults["e2"] and started.getCalibrationFrames() == 2),
        ("empty, clear", lambda: (scvardo.createBackgroundSubtractor().empty(), started.empty()) == (True, False)
         and (started.clear(), started.empty(), started.getFrameCount())[1:] == (True, 0)
         and started.getParams()["K"] == 2),
        ("getDefaultName", lambda: started.getDefaultName() == "scvardo_BackgroundSubtractor"),
        ("NUL in save path", lambda: raises(ValueError, started.save, str(tmp_path / "a\0b.yml"))),
        ("NUL in load path", lambda: raises(ValueError, started.load, str(tmp_path / "a\0b.yml"))),
        ("NUL in a bytes path", lambda: raises(ValueError, started.save, os.fsencode(tmp_path) + b"/a\0b.yml")),
        ("path-like save", lambda: (started.apply(frames[0]), started.save(tmp_path / "p.yml.gz"),
                                    (tmp_path / "p.yml.gz").exists())[2]),
        ("docstrings from the table", lambda: all(n in scvardo.createBackgroundSubtractor.__doc__ for n in names)
         and "greater than 0" in scvardo.BackgroundSubtractor.setOnlineThreshold.__doc__),
    ]
    tiny = scvardo.createBackgroundSubtractor(Cw=3)
    tiny.apply(np.zeros((3, 3, 3), np.uint8))
    failed = [name for name, check in rows if not check()]
    assert failed == []


def test_one_subtractor_many_threads(sample):
    """Methods of one subtractor from several threads take turns: no crash,
    no lost frame, and setThreads never pulls the workers from under a pass."""
    import threading
    frames = [frame(sample, i) for i in range(1, 31)]
    bs = scvardo.createBackgroundSubtractor(K=5)
    errors = []

    def feed():
        try:
            for f in frames:
                bs.apply(f)
        except Exception as e:  # pragma: no cover - the failure is reported below
            errors.append(e)

    def tune():
        for t in range(30):
            bs.setThreads(t % 3)
            bs.getParams()
            bs.setParams(e2=0.008 + t / 10000)

    threads = [threading.Thread(target=feed) for _ in range(2)] + [threading.Thread(target=tune)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and bs.getFrameCount() == 60


def test_stub_is_installed_beside_the_module():
    import ast
    stub = Path(scvardo.__file__).with_name("scvardo.pyi")
    assert stub.read_text() == scvardo._stub()
    tree = ast.parse(stub.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "BackgroundSubtractor")
    in_stub = {f.name for f in cls.body if isinstance(f, ast.FunctionDef)}
    public = {n for n in dir(scvardo.BackgroundSubtractor) if not n.startswith("_")}
    assert in_stub == public
    create = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "createBackgroundSubtractor")
    assert [a.arg for a in create.args.args] == list(scvardo.createBackgroundSubtractor().getParams())
