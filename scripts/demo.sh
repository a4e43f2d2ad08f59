#!/usr/bin/env bash
# Installs what is missing, builds, generates the sample sequence and runs
# sc-vardo on it. Masks and snapshots land in build/demo/out, an overlay
# contact sheet in build/demo/pictures. CMAKE_BUILD_PARALLEL_LEVEL sets the
# number of build jobs.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"

install_missing
build

DEMO="$BUILD_DIR/demo"
rm -rf "$DEMO"
mkdir -p "$DEMO/out"
"$BUILD_DIR/tools/make-sample" "$DEMO/sample"
cd "$DEMO/out"
"$BUILD_DIR/sc-vardo" "$DEMO/sample/input/in"
echo
echo "Masks and model snapshots are in $DEMO/out"
if [ -x "$BUILD_DIR/tools/sc-vardo-eval" ]; then
  echo "Accuracy against the sample's ground truth:"
  "$BUILD_DIR/tools/sc-vardo-eval" "$DEMO/out" "$DEMO/sample"
  "$BUILD_DIR/tools/sc-vardo-eval" "$DEMO/out" "$DEMO/sample" --overlay "$DEMO/pictures" --every 20 >/dev/null
  echo
  echo "Contact sheet (true positives green, false positives red, misses blue):"
  echo "  $DEMO/pictures/contact-sheet.png"
fi
