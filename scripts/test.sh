#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"
# The whole suite, even where a hand build left tests, benchmarks or the
# Python module switched off in the cache.
CMAKE_EXTRA="-DSCVARDO_BUILD_TESTS=ON -DSCVARDO_BUILD_BENCH=ON -DSCVARDO_BUILD_PYTHON=ON $CMAKE_EXTRA"

install_missing
build
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)"
