#!/usr/bin/env bash
# Makes the Debian package (cpack -G DEB in the build folder), installs it
# with `apt-get install ./scvardo_*.deb` on a fresh Debian that debootstrap
# makes in a temporary chroot, and runs the three programs, the Python module
# and the removal there.
#
# Needs root (debootstrap, chroot) and Debian's package servers
# (DEBIAN_MIRROR, default http://deb.debian.org/debian; the security
# updates from DEBIAN_SECURITY_MIRROR). Installs debootstrap when missing and
# builds the project; the chroot lives in one temporary folder, removed at
# the end (nothing is mounted into it). Takes 4-6 minutes on the 2-core
# development machine: debootstrap 1-2 minutes, the package's dependencies
# (about 260 MB, nearly all OpenCV's) 2-3 minutes. Not part of ./scripts/test.sh.
# Exit status: 0 passed; 1 anything else.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"

require_root "debootstrap and chroot need it"
PACKAGES="$PACKAGES debootstrap"
install_missing
build

. /etc/os-release
SUITE="${VERSION_CODENAME:?test-deb.sh: /etc/os-release names no Debian release}"
MIRROR="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
SECURITY="${DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}"

TMP="$(mktemp -d /tmp/scvardo-deb.XXXXXX)"
CHROOT="$TMP/root"
finish() {
  local status=$?
  [ "$status" -eq 0 ] || { echo "test-deb.sh: FAILED; last lines of the log:" >&2; tail -n 30 "$TMP/log" >&2 || true; }
  rm -rf --one-file-system "$TMP"
  exit "$status"
}
trap finish EXIT
trap 'exit 1' INT TERM

step() { echo "$(date +%T) $*"; }
in_chroot() { chroot "$CHROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  DEBIAN_FRONTEND=noninteractive "$@"; }

step "cpack -G DEB in $BUILD_DIR"
rm -f "$BUILD_DIR"/scvardo_*.deb
(cd "$BUILD_DIR" && cpack -G DEB) > "$TMP/log" 2>&1
DEB="$(ls "$BUILD_DIR"/scvardo_*.deb)"
echo "  $DEB, Depends: $(dpkg-deb -f "$DEB" Depends)"

step "debootstrap $SUITE (minbase) from $MIRROR"
debootstrap --variant=minbase "$SUITE" "$CHROOT" "$MIRROR" >> "$TMP/log" 2>&1
rm -f "$CHROOT/etc/apt/sources.list"
cat > "$CHROOT/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $MIRROR
Suites: $SUITE $SUITE-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $SECURITY
Suites: $SUITE-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
cp /etc/resolv.conf "$CHROOT/etc/resolv.conf"

step "apt-get install ./$(basename "$DEB")"
cp "$DEB" "$CHROOT/tmp/"
in_chroot apt-get update -qq >> "$TMP/log" 2>&1
in_chroot sh -c "cd /tmp && apt-get install -y -q ./$(basename "$DEB")" >> "$TMP/log" 2>&1

step "the programs, the library and the module in the chroot"
"$BUILD_DIR/tools/make-sample" "$CHROOT/tmp/sample" --frames 40 --size 64x48 >/dev/null
in_chroot sh -euc '
  mkdir /tmp/out && cd /tmp/out
  sc-vardo /tmp/sample/input/in 1 40 -K 10 > /tmp/sc-vardo.txt
  ls /tmp/out/bin000040.png
  sc-vardo-eval /tmp/out /tmp/sample --first 11 --last 40 | grep F-measure
  sc-vardo-video /tmp/sample/input --out /tmp/vout -K 10
  [ "$(ls /tmp/vout | wc -l)" -eq 30 ]
  ldconfig -p | grep -q "libscvardo.so.0 "
  for f in /usr/include/scvardo/scvardo.hpp /usr/lib/cmake/scvardo/scvardoConfig.cmake \
           /usr/lib/pkgconfig/scvardo.pc /usr/lib/libscvardo.a; do [ -f "$f" ]; done
  cd / && python3 -c "
import numpy as np, scvardo
bs = scvardo.createBackgroundSubtractor(K=5)
frame = np.zeros((24, 32, 3), np.uint8)
for f in range(8):
    mask = bs.apply(frame)
frame[8:16, 8:16] = (40, 200, 250)
mask = bs.apply(frame)
assert mask.shape == (24, 32) and mask[12, 12] == 255 and mask[:, 20:].max() == 0, mask
print(\"python3: scvardo from\", scvardo.__file__)
"
'
step "apt-get remove scvardo"
in_chroot apt-get remove -y -q scvardo >> "$TMP/log" 2>&1
in_chroot sh -c '! command -v sc-vardo && [ ! -e /usr/lib/libscvardo.so.0 ]'
step "test-deb.sh: passed"
