# Shared by the scripts: install missing Debian packages, configure and build.
# Sourced with ROOT set; BUILD_DIR, BUILD_TYPE, CMAKE_EXTRA and
# CMAKE_BUILD_PARALLEL_LEVEL (default: the number of cores) may come from the
# environment.

BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_TYPE="${BUILD_TYPE:-Release}"
CMAKE_EXTRA="${CMAKE_EXTRA:-}"

PACKAGES="build-essential cmake pkg-config libopencv-dev libturbojpeg0-dev zlib1g-dev libxxhash-dev libgtest-dev libgmock-dev
  libbenchmark-dev pybind11-dev python3-dev python3-numpy python3-opencv python3-pytest python3-yaml
  python3-matplotlib python3-venv python3-build snakemake chromium clang libclang-rt-14-dev"

# Scripts that need root stop here otherwise, saying what for.
require_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run as root ($1)" >&2
    exit 1
  fi
}

install_missing() {
  local missing=""
  for pkg in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $pkg"
    fi
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
}

build() {
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" $CMAKE_EXTRA >/dev/null
  cmake --build "$BUILD_DIR" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
}
