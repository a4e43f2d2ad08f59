#!/usr/bin/env bash
# Makes docs/images/sample-contact-sheet.png, the README's picture: the
# demo's generated sample, sc-vardo with its defaults, and sc-vardo-eval's
# contact sheet of four frames (true positives green, false positives red,
# misses blue, beside the masks), recompressed. Builds first when needed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"

[ -x "$BUILD_DIR/sc-vardo" ] && [ -x "$BUILD_DIR/tools/sc-vardo-eval" ] || { install_missing; build; }
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
"$BUILD_DIR/tools/make-sample" "$TMP/sample" >/dev/null
mkdir "$TMP/out"
(cd "$TMP/out" && "$BUILD_DIR/sc-vardo" "$TMP/sample/input/in" >/dev/null)
"$BUILD_DIR/tools/sc-vardo-eval" "$TMP/out" "$TMP/sample" --overlay "$TMP/pictures" \
  --frames 51,71,111,131 | grep F-measure
mkdir -p "$ROOT/docs/images"
/usr/bin/python3 -c 'import cv2, sys; sys.exit(not cv2.imwrite(sys.argv[2], cv2.imread(sys.argv[1]), [cv2.IMWRITE_PNG_COMPRESSION, 9]))' \
  "$TMP/pictures/contact-sheet.png" "$ROOT/docs/images/sample-contact-sheet.png"
echo "docs/images/sample-contact-sheet.png: $(stat -c %s "$ROOT/docs/images/sample-contact-sheet.png") bytes"
