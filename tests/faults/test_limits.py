"""Every tool under the limits of containers and clusters: an address-space
limit (the memory check refuses before anything large is allocated) and a
limit on tasks (a thread that cannot be started is one line and status 4,
or the work goes on with fewer threads; never an abort, never a run record
left unfinished)."""
import os
import re
import resource
import subprocess

import pytest

from conftest import EVAL, EXE, MAKE_SAMPLE, SANITIZED, VIDEO, record

NEED = r"Not enough memory: 4000x4000 frames with n=3 need \d+\.\d GiB, only \d+\.\d GiB is left under " \
       r"the address-space limit \(ulimit -v\)"


def measured(argv, cwd, preexec_fn):
    """Runs argv: its exit status, standard error and peak resident size in KiB."""
    with open(cwd / "stderr.txt", "w+") as err:
        p = subprocess.Popen(list(map(str, argv)), cwd=cwd, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=err, preexec_fn=preexec_fn)
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        return p.returncode, err.read(), usage.ru_maxrss


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory does not fit an address-space limit")
def test_an_address_space_limit_is_met_before_allocating(tmp_path):
    subprocess.run([MAKE_SAMPLE, tmp_path / "big", "--frames", "2", "--size", "4000x4000"], check=True,
                   capture_output=True)
    (tmp_path / "out").mkdir()
    limit = 2300 << 20

    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    cases = [  # program, arguments, the line's prefix
        (EXE, [tmp_path / "big/input/in", "1", "2", "-K", "1", "-ROI", "0"], ""),
        (VIDEO, [tmp_path / "big/input", "-K", "1", "--out", "masks"], "sc-vardo-video: "),
    ]
    for exe, args, prefix in cases:
        status, err, peak = measured([exe, *args], tmp_path / "out", cap)
        assert status == 4 and re.fullmatch(re.escape(prefix) + NEED + "\n", err), err
        # Refused from the estimate: nothing near the 2 GiB the model would take was touched.
        assert peak < 1 << 20, peak  # KiB
        assert not [n for n in os.listdir(tmp_path / "out") if n.startswith("bin")]


def test_a_thread_that_cannot_start_is_never_an_abort(samples, tmp_path, no_threads):
    env = dict(os.environ)
    if SANITIZED:  # the leak checker's own thread could not start either
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    small = samples / "small"
    cases = [  # program, arguments, run folder (with its record), statuses allowed
        # One thread: the frame reader and the mask writer work in line.
        (EXE, [small / "input/in", "1", "30", "-K", "10", "--threads", "1"], "a", {0}),
        # Two: the worker threads fall back to fewer, or the run ends with status 4.
        (EXE, [small / "input/in", "1", "30", "-K", "10", "--threads", "2"], "b", {0, 4}),
        (VIDEO, [small / "input", "-K", "10", "--out", tmp_path / "c", "--threads", "1"], "c", {0}),
        (VIDEO, [small / "input", "-K", "10", "--out", tmp_path / "d", "--threads", "2"], "d", {0, 4}),
        (EVAL, [tmp_path / "a", small], None, {0}),
    ]
    for exe, args, folder, allowed in cases:
        cwd = tmp_path / (folder or "")
        cwd.mkdir(exist_ok=True)
        r = subprocess.run([exe, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, preexec_fn=no_threads, env=env, timeout=300)
        assert r.returncode in allowed, (args, r.returncode, r.stderr)
        if r.returncode == 4:
            assert re.fullmatch(r"(sc-vardo-video: )?Cannot start a thread \(a limit on processes, threads or "
                                r"memory\): Resource temporarily unavailable\n", r.stderr), r.stderr
        else:
            masks = [n for n in os.listdir(cwd) if n.startswith("bin")]
            assert folder is None or len(masks) == 20, (args, r.stderr)
        if folder:
            assert record(cwd).splitlines()[-1].startswith(
                "finished: 20" if r.returncode == 0 else "finished: no; stopped"), record(cwd)
