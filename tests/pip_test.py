"""pip and python3 -m build on a copy of the tree, offline: a venv that sees
Debian's numpy gets the module (importable from any folder, the masks of the
build tree's module), the three programs and the C++ library; the wheel
lists every file it holds in its RECORD, and pip uninstall removes them."""
import base64
import csv
import hashlib
import importlib.util
import io
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
PYTHON_DIR = os.environ.get("SCVARDO_PYTHON_DIR", str(REPO / "build" / "python"))
TOP_LEVEL_SKIPPED = ("build", "dist", ".git", ".snakemake")

# The masks of a small synthetic scene: a bright square crossing a gradient.
MASKS = """
import hashlib, sys, numpy as np, scvardo
h, w = 24, 32
background = np.dstack([np.tile(np.arange(w, dtype=np.uint8) * 6, (h, 1))] * 3)
bs = scvardo.createBackgroundSubtractor(K=5, threads=1)
digest = hashlib.sha256()
for f in range(12):
    frame = background.copy()
    frame[8:16, 2 * f:2 * f + 8] = (40, 200, 250)
    digest.update(bs.apply(frame).tobytes())
print(scvardo.__file__, digest.hexdigest())
"""


def run(cmd, **kw):
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)
    assert r.returncode == 0, f"{cmd}: status {r.returncode}\n{r.stdout[-3000:]}{r.stderr[-3000:]}"
    return r.stdout


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """A copy of the sources, without build folders, as a fresh clone has them."""
    if importlib.util.find_spec("ensurepip") is None:
        pytest.skip("python3 -m venv needs Debian's python3-venv, which ./scripts/test.sh installs")
    root = tmp_path_factory.mktemp("pip")
    shutil.copytree(REPO, root / "src", ignore=lambda d, names: [
        n for n in names if Path(d) == REPO and n.startswith(TOP_LEVEL_SKIPPED)])
    return root


def test_pip_installs_into_a_venv(tree):
    venv = tree / "V"
    run([sys.executable, "-m", "venv", "--system-site-packages", venv])
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2"))
    run([venv / "bin/pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
         tree / "src"], cwd=tree, env=env)

    elsewhere = tree / "elsewhere"
    elsewhere.mkdir()
    path, digest = run([venv / "bin/python", "-c", MASKS], cwd=elsewhere).split()
    site = Path(path).parent
    assert site.is_relative_to(venv) and site.name == "site-packages", path
    built = run([sys.executable, "-c", MASKS], cwd=elsewhere,
                env=dict(os.environ, PYTHONPATH=PYTHON_DIR)).split()
    assert built[0].startswith(PYTHON_DIR) and built[1] == digest
    assert (site / "scvardo.pyi").is_file()  # the stub the build writes from the module

    assert "sc-vardo-video" in run([venv / "bin/sc-vardo-video", "--version"])
    assert run([venv / "bin/sc-vardo-eval", "--help"]).startswith("Usage: sc-vardo-eval")
    assert (venv / "lib/libscvardo.so.0").is_file() and (venv / "include/scvardo/scvardo.hpp").is_file()
    if shutil.which("pkg-config"):
        env = dict(os.environ, PKG_CONFIG_PATH=str(venv / "lib/pkgconfig"))
        for var, where in (("includedir", "include"), ("libdir", "lib")):
            found = run(["pkg-config", f"--variable={var}", "scvardo"], env=env).strip()
            assert os.path.realpath(found) == str(venv / where), (var, found)

    run([venv / "bin/pip", "uninstall", "-y", "scvardo"])
    left = [p for p in [site / Path(path).name, venv / "bin/sc-vardo", venv / "lib/libscvardo.so.0",
                        venv / "include/scvardo/scvardo.hpp"] if p.exists()]
    assert left == []


def test_python_build_makes_a_wheel(tree):
    if importlib.util.find_spec("build") is None:
        pytest.skip("python3 -m build needs Debian's python3-build, which ./scripts/test.sh installs")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2"))
    run([sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir", tree / "dist"],
        cwd=tree / "src", env=env)
    (wheel,) = (tree / "dist").iterdir()
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert wheel.name.startswith("scvardo-") and f"-{tag}-{tag}-linux_" in wheel.name
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        record_name = next(n for n in names if n.endswith(".dist-info/RECORD"))
        record = list(csv.reader(io.StringIO(z.read(record_name).decode())))
        for name, digest, size in record:
            if name == record_name:
                continue
            data = z.read(name)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert (digest, size) == ("sha256=" + expected.decode(), str(len(data))), name
        assert {r[0] for r in record} == names
        modes = {n: z.getinfo(n).external_attr >> 16 for n in names}
    data = "-".join(wheel.name.split("-")[:2]) + ".data"
    for program in ("sc-vardo", "sc-vardo-video", "sc-vardo-eval"):
        assert modes[f"{data}/scripts/{program}"] & 0o111, program
    assert any(n.startswith("scvardo.") and n.endswith(".so") for n in names)
    assert {f"{data}/data/lib/libscvardo.so.0", f"{data}/data/lib/pkgconfig/scvardo.pc"} <= names
    assert "scvardo.pyi" in names
