#!/usr/bin/env bash
# Builds the passes (the method, the coherence filter and the speed room,
# which need neither OpenCV nor GoogleTest) for 64-bit Arm with Debian's
# g++-aarch64-linux-gnu, and runs the exactness check (tests/exact) under
# qemu-user: every path the emulated CPU offers (neon, portable) against the
# reference passes, bit for bit, on 1..4 threads. Installs what is missing.
# BUILD_DIR (default build-arm) holds the objects and the program.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"
PACKAGES="g++-aarch64-linux-gnu qemu-user libhwy-dev make"
install_missing
OUT="${BUILD_DIR:-$ROOT/build-arm}"
[ "$OUT" != "$ROOT/build" ] || OUT="$ROOT/build-arm"
mkdir -p "$OUT"

SOURCES="src/core/params.cpp src/core/planes.cpp src/core/roi.cpp src/core/workers.cpp
  src/colour/conversion.cpp $(cd "$ROOT" && echo src/model/*.cpp src/adapt/*.cpp) src/mask/coherence.cpp
  $(cd "$ROOT" && echo src/schedule/*.cpp) tests/exact/lockstep.cpp tests/exact/standalone.cpp"
CXX="aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -ffp-contract=off -fno-fast-math"
# One object per source, built in parallel by make.
{
  printf 'all: %s/exact-arm\n' "$OUT"
  objects=""
  for s in $SOURCES; do
    o="$OUT/obj/${s//\//_}.o"
    objects="$objects $o"
    printf '%s: %s/%s\n\t@mkdir -p %s/obj\n\t%s -MMD -MP -I%s/include -I%s/src -c $< -o $@\n' \
      "$o" "$ROOT" "$s" "$OUT" "$CXX" "$ROOT" "$ROOT"
  done
  # Headers each object was made from, so that a changed header rebuilds it.
  printf -- '-include %s/obj/*.d\n' "$OUT"
  printf '%s/exact-arm:%s\n\t%s -static -pthread $^ -o $@\n' "$OUT" "$objects" "$CXX"
} > "$OUT/Makefile"
start=$(date +%s)
make -s -C "$OUT" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
built=$(date +%s)
echo "built $OUT/exact-arm in $((built - start)) s; running it under qemu-aarch64"
qemu-aarch64 "$OUT/exact-arm"
echo "exact under qemu-aarch64 in $(($(date +%s) - built)) s"
