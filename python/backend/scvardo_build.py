"""Build backend (PEP 517) for `pip install .` and `python3 -m build`.

It drives the project's own CMake build and packs what `cmake --install`
puts into a scratch prefix as one wheel: the module `scvardo` (and the
type stub scvardo.pyi it writes) at the top, the three programs as scripts,
the C++ library with its headers, CMake package and pkg-config file as data
(so a venv gets V/bin/sc-vardo, V/lib/libscvardo.so.N, V/include/scvardo).
Only the standard library, cmake and a compiler are needed: it builds
offline, e.g. `pip install --no-build-isolation --no-index .`.

Settings (`pip install -C key=value`, `python3 -m build -C key=value`, or
the environment):
  build-dir   the CMake build folder (SCVARDO_WHEEL_BUILD_DIR), default
              build/wheel in the source tree; kept, so a reinstall only
              rebuilds what changed
  cmake-args  more words for the configure step (CMAKE_ARGS)
CMAKE_BUILD_PARALLEL_LEVEL sets the number of build jobs (default: cores).
"""
import base64
import csv
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

NAME = "scvardo"
SUMMARY = ("Background subtraction by a self-organizing map in the HSV cone: "
           "the scvardo module, the sc-vardo programs and the C++ library")
REQUIRES = ["numpy"]
SOURCE = os.path.abspath(os.getcwd())
# What never goes into a source archive: build products and caches at the
# top of the tree, version control and byte code anywhere.
NOT_SOURCE_TOP = re.compile(r"^(build.*|dist|\.snakemake|results)$")
NOT_SOURCE = {".git", "__pycache__"}


def version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        m = re.search(r"project\(\s*[\w-]+\s+VERSION\s+([0-9.]+)", f.read())
    if not m:
        raise RuntimeError("CMakeLists.txt: no project(... VERSION x.y.z)")
    return m.group(1)


def metadata():
    lines = ["Metadata-Version: 2.1", f"Name: {NAME}", f"Version: {version()}",
             f"Summary: {SUMMARY}", "Requires-Python: >=3.8"]
    lines += [f"Requires-Dist: {r}" for r in REQUIRES]
    return "\n".join(lines) + "\n"


def dist_info():
    return f"{NAME}-{version()}.dist-info"


def wheel_tag():
    """cpXY-cpXY-platform: the module is built for this interpreter only."""
    impl = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    soabi = sysconfig.get_config_var("SOABI") or ""
    m = re.match(r"cpython-(\d+)([a-z]*)", soabi)
    abi = f"cp{m.group(1)}{m.group(2)}" if m else impl
    platform = re.sub(r"[^A-Za-z0-9_]", "_", sysconfig.get_platform())
    return f"{impl}-{abi}-{platform}"


def setting(config, key, env):
    value = (config or {}).get(key)
    if isinstance(value, list):
        value = " ".join(value)
    return value if value else os.environ.get(env, "")


def run(cmd):
    print("+", " ".join(shlex.quote(str(c)) for c in cmd), file=sys.stderr, flush=True)
    # Build output goes to stderr: the frontend reads the hook's stdout.
    subprocess.run([str(c) for c in cmd], check=True, stdout=sys.stderr)


def cmake_install(config, prefix):
    """Configures, builds and installs into `prefix`; returns the module's
    folder relative to it."""
    if shutil.which("cmake") is None:
        raise RuntimeError("cmake is not installed (Debian: apt-get install cmake)")
    build = setting(config, "build-dir", "SCVARDO_WHEEL_BUILD_DIR") or os.path.join(
        SOURCE, "build", "wheel")
    pydir = "python-module"
    run(["cmake", "-S", SOURCE, "-B", os.path.abspath(build), "-DCMAKE_BUILD_TYPE=Release",
         "-DSCVARDO_BUILD_TESTS=OFF", "-DSCVARDO_BUILD_BENCH=OFF", "-DSCVARDO_BUILD_PYTHON=ON",
         f"-DPython3_EXECUTABLE={sys.executable}", f"-DSCVARDO_PYTHON_INSTALL_DIR={pydir}",
         *shlex.split(setting(config, "cmake-args", "CMAKE_ARGS"))])
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    run(["cmake", "--build", os.path.abspath(build), "-j", jobs])
    run(["cmake", "--install", os.path.abspath(build), "--prefix", prefix, "--strip"])
    return pydir


def record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode()


class Wheel:
    def __init__(self, path):
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.records = []

    def add(self, name, data, mode=0o644):
        info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
        info.external_attr = (0o100000 | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        self.records.append((name, record_hash(data), str(len(data))))

    def add_file(self, name, path):
        # Links become copies: a wheel holds files only (the SONAME's name
        # and the linker's name both need to be there).
        with open(path, "rb") as f:
            self.add(name, f.read(), 0o755 if os.access(path, os.X_OK) else 0o644)

    def close(self, record_name):
        out = io.StringIO()
        w = csv.writer(out, lineterminator="\n")
        w.writerows(self.records)
        w.writerow((record_name, "", ""))
        self.zip.writestr(zipfile.ZipInfo(record_name, date_time=(2020, 1, 1, 0, 0, 0)),
                          out.getvalue())
        self.zip.close()


def files_under(root):
    for top, dirs, files in os.walk(root):
        dirs.sort()
        for f in sorted(files):
            path = os.path.join(top, f)
            yield os.path.relpath(path, root).replace(os.sep, "/"), path


def write_dist_info(directory):
    os.makedirs(os.path.join(directory, dist_info()), exist_ok=True)
    with open(os.path.join(directory, dist_info(), "METADATA"), "w") as f:
        f.write(metadata())
    return dist_info()


# ---- The hooks ----------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return write_dist_info(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name = f"{NAME}-{version()}-{wheel_tag()}.whl"
    data = f"{NAME}-{version()}.data"
    with tempfile.TemporaryDirectory(prefix="scvardo-wheel-") as prefix:
        pydir = cmake_install(config_settings, prefix)
        os.makedirs(wheel_directory, exist_ok=True)
        wheel = Wheel(os.path.join(wheel_directory, name))
        for rel, path in files_under(prefix):
            if rel.startswith(pydir + "/"):
                wheel.add_file(rel[len(pydir) + 1:], path)
            elif rel.startswith("bin/"):
                wheel.add_file(f"{data}/scripts/{rel[4:]}", path)
            else:
                wheel.add_file(f"{data}/data/{rel}", path)
        wheel.add(f"{dist_info()}/METADATA", metadata().encode())
        wheel.add(f"{dist_info()}/WHEEL", (
            "Wheel-Version: 1.0\nGenerator: scvardo_build\nRoot-Is-Purelib: false\n"
            f"Tag: {wheel_tag()}\n").encode())
        wheel.close(f"{dist_info()}/RECORD")
    return name


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{version()}"
    name = base + ".tar.gz"
    os.makedirs(sdist_directory, exist_ok=True)

    def keep(info):
        parts = info.name.split("/")[1:]
        if parts and (NOT_SOURCE_TOP.match(parts[0]) or NOT_SOURCE.intersection(parts)):
            return None
        return info

    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as t:
        t.add(SOURCE, arcname=base, filter=keep)
        pkg_info = metadata().encode()
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(pkg_info)
        t.addfile(info, io.BytesIO(pkg_info))
    return name
