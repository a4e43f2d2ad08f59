#!/usr/bin/python3
"""The workflow scripts' outputs, kept as the tools keep theirs: a file is
written to a temporary beside it (".NAME.scvardo-tmp.PID.XXXXXX.EXT", made
with O_EXCL|O_NOFOLLOW, so a link planted anywhere is never followed),
renamed over it when complete, and removed on failure or on SIGINT, SIGTERM
or SIGHUP (the script then ends by that signal). start() removes the
temporaries that dead runs left in the output folders.

  outputs.py [--ok N] OUT CMD [ARG...]
      CMD's standard output into OUT; OUT is replaced when CMD ends with
      status 0 (or N, and this ends with 0), else it keeps what it held and
      CMD's status is this one's.
"""
import contextlib
import os
import secrets
import signal
import subprocess
import sys

MARKER = ".scvardo-tmp."
_pending = set()
_stops = {p: False for p in os.environ.get("SCVARDO_STOP_IN_WRITE", "").split(":") if p}


def _prog():
    return os.path.basename(sys.argv[0])


def _on_signal(sig, _frame):
    for tmp in list(_pending):
        with contextlib.suppress(OSError):
            os.unlink(tmp)
    signal.signal(sig, signal.SIG_DFL)
    os.kill(os.getpid(), sig)


def _owner(name):
    """The pid in a temporary's name, else 0."""
    at = name.find(MARKER)
    if not name.startswith(".") or at < 0:
        return 0
    pid, dot, _ = name[at + len(MARKER):].partition(".")
    return int(pid) if dot and pid.isdigit() and int(pid) > 0 else 0


def _dead(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        pass
    return False


def start(*folders):
    """Removes the temporaries of dead runs in `folders` (each said on
    standard error) and removes this run's own on a stopping signal."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(sig) != signal.SIG_IGN:
            signal.signal(sig, _on_signal)
    for folder in folders:
        try:
            names = os.listdir(folder or ".")
        except OSError:
            continue
        for name in sorted(names):
            pid = _owner(name)
            path = os.path.join(folder, name)
            if pid and pid != os.getpid() and _dead(pid) and os.path.isfile(path) \
                    and not os.path.islink(path):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)
                    print(f"{_prog()}: Removed {path}, left by an earlier run that did not end",
                          file=sys.stderr)


def _create(path):
    folder, name = os.path.split(path)
    dot = name.find(".", 1)
    ext = name[dot:] if dot >= 0 else ""
    for _ in range(100):
        tmp = os.path.join(folder, f".{name}{MARKER}{os.getpid()}.{secrets.token_hex(3)}{ext}")
        _pending.add(tmp)  # before it exists: a signal at any moment finds it
        try:
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                           0o666), tmp
        except FileExistsError:
            _pending.discard(tmp)
        except BaseException:
            _pending.discard(tmp)
            raise
    raise FileExistsError(f"no free temporary name beside {path}")


def _stop_if_asked(path):
    # Fault tests freeze a run here instead of racing it (as the tools do).
    name = os.path.basename(path)
    for prefix, stopped in _stops.items():
        if not stopped and name.startswith(prefix):
            _stops[prefix] = True
            os.kill(os.getpid(), signal.SIGSTOP)


@contextlib.contextmanager
def output(path, binary=False):
    """A file object for `path`'s temporary; `path` is replaced only when
    the block ends without an exception, and every write is checked."""
    fd, tmp = _create(path)
    try:
        with os.fdopen(fd, "wb" if binary else "w", **({} if binary else {"newline": ""})) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        _stop_if_asked(path)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    finally:
        _pending.discard(tmp)


def write_text(path, text):
    with output(path) as f:
        f.write(text)


def failed(path, error):
    """Ends the script with status 1 and one line naming the file."""
    sys.exit(f"{_prog()}: cannot write {path}: {error.strerror or error}")


def main(argv):
    ok = {0}
    if argv[:1] == ["--ok"] and len(argv) > 1 and argv[1].isdigit():
        ok.add(int(argv[1]))
        argv = argv[2:]
    if len(argv) < 2:
        sys.exit("usage: outputs.py [--ok N] OUT CMD [ARG...]")
    out, cmd = argv[0], argv[1:]
    start(os.path.dirname(out))
    status = 0
    try:
        # The destination is tried before the command runs.
        with output(out, binary=True) as f:
            try:
                status = subprocess.run(cmd, stdout=f, stdin=subprocess.DEVNULL).returncode
            except OSError as e:
                status = 127
                print(f"{_prog()}: cannot run {cmd[0]}: {e.strerror or e}", file=sys.stderr)
            if status not in ok:
                raise ChildProcessError
    except ChildProcessError:
        if status < 0:
            signal.signal(-status, signal.SIG_DFL)
            os.kill(os.getpid(), -status)
        sys.exit(status if status > 0 else 1)
    except OSError as e:
        failed(out, e)


if __name__ == "__main__":
    main(sys.argv[1:])
