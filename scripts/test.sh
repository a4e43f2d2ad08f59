#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_TYPE="${BUILD_TYPE:-Release}"
CMAKE_EXTRA="${CMAKE_EXTRA:-}"
source "$ROOT/scripts/common.sh"

install_missing
build
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)"
