"""What the fault tests share: the programs, generated samples, runs that
freeze themselves half way through a write (so that no test races the
process it signals), and the folders' temporaries."""
import os
import shutil
import subprocess

import pytest

EXE = os.environ["SCVARDO_EXE"]
VIDEO = os.environ["SCVARDO_VIDEO"]
EVAL = os.environ["SCVARDO_EVAL"]
MAKE_SAMPLE = os.environ["SCVARDO_MAKE_SAMPLE"]
SANITIZED = os.environ.get("SCVARDO_SANITIZED") == "1"


def tool(exe, cwd, *args, **kw):
    return subprocess.run([exe, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=300, **kw)


def frozen(argv, cwd, stop, **kw):
    """Starts `argv` with SCVARDO_STOP_IN_WRITE=stop (file-name prefixes
    separated by ':'): the run stops itself (SIGSTOP) half way through the
    first write of such a file. Returns once it has stopped."""
    env = dict(os.environ, SCVARDO_STOP_IN_WRITE=stop)
    p = subprocess.Popen(list(map(str, argv)), cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=env, **kw)
    _, status = os.waitpid(p.pid, os.WUNTRACED)
    assert os.WIFSTOPPED(status), "the run ended before the write it stops in:\n" + p.communicate()[1]
    return p


def temps(folder):
    return sorted(n for n in os.listdir(folder) if ".scvardo-tmp." in n)


def record(folder):
    return (folder / "sc-vardo-run.txt").read_text()


def snapshot(folder):
    """Every file under `folder` with its bytes (links as their targets)."""
    out = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, folder)
            out[rel] = ("link", os.readlink(path)) if os.path.islink(path) else \
                ("dir",) if os.path.isdir(path) else ("file", open(path, "rb").read())
    return out


@pytest.fixture(scope="session")
def samples(tmp_path_factory):
    root = tmp_path_factory.mktemp("samples")
    for name, size in (("small", "48x40"), ("big", "160x120")):
        subprocess.run([MAKE_SAMPLE, str(root / name), "--frames", "30", "--size", size],
                       check=True, capture_output=True)
    return root


@pytest.fixture
def seq(samples, tmp_path):
    """A private copy of the small sample and an empty output folder."""
    shutil.copytree(samples / "small", tmp_path / "seq")
    (tmp_path / "out").mkdir()
    return tmp_path


@pytest.fixture
def tmpfs(tmp_path):
    """A 24 KiB file system: any larger output fills it."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24k", "tmpfs", str(disk)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a size-limited tmpfs here (needs root)")
    yield disk
    subprocess.run(["umount", str(disk)])


@pytest.fixture
def no_threads():
    """A preexec_fn that puts the child in a cgroup allowing no task beyond
    itself: no thread can be started (as under a container's or Slurm's
    pids limit; RLIMIT_NPROC would not hold for root)."""
    for mount in ("/sys/fs/cgroup/pids", "/sys/fs/cgroup"):
        if os.path.exists(os.path.join(mount, "cgroup.procs")) and (
                mount.endswith("pids") or "pids" in open(os.path.join(mount, "cgroup.subtree_control")).read()):
            group = os.path.join(mount, f"scvardo-test-{os.getpid()}")
            try:
                os.mkdir(group)
                with open(os.path.join(group, "pids.max"), "w") as f:
                    f.write("1")
            except OSError:
                continue
            def enter():
                with open(os.path.join(group, "cgroup.procs"), "w") as f:
                    f.write(str(os.getpid()))
            yield enter
            os.rmdir(group)
            return
    pytest.skip("no pids cgroup can be made here (needs root and the pids controller)")
