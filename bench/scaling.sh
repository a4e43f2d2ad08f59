#!/bin/sh
# bench/scaling.sh BUILD [SEQDIR]: scaled copies of the first frames of a
# sequence (default ../shared/data/highway) at SIZES (default 320x240,
# 640x480, 1280x960 and 1920x1080) in a scratch folder under /tmp (removed
# afterwards), then the cost table of scvardo-scaling for them. NS and
# THREADS (comma lists) choose n and the thread counts (default 3,5,7,9 and
# 1,2; 0 is the default threads).
set -eu
BUILD=$1
SEQ=${2:-$(dirname "$0")/../../shared/data/highway}
FRAMES=${FRAMES:-30}
K=${K:-10}
SIZES=${SIZES:-320x240 640x480 1280x960 1920x1080}
TMP=$(mktemp -d /tmp/scvardo-scaling.XXXXXX)
trap 'rm -rf "$TMP"' EXIT
# shellcheck disable=SC2086
/usr/bin/python3 - "$SEQ/input" "$TMP" "$FRAMES" $SIZES <<'PY'
import sys, os, cv2
src, dst, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
for w, h in (tuple(int(v) for v in s.split("x")) for s in sys.argv[4:]):
    d = os.path.join(dst, "%dx%d" % (w, h))
    os.makedirs(d)
    for f in range(1, count + 1):
        img = cv2.imread(os.path.join(src, "in%06d.jpg" % f))
        if img is None:
            sys.exit("cannot read frame %d of %s" % (f, src))
        cv2.imwrite(os.path.join(d, "in%06d.jpg" % f), cv2.resize(img, (w, h), interpolation=cv2.INTER_LINEAR), [cv2.IMWRITE_JPEG_QUALITY, 95])
PY
dirs=""
for s in $SIZES; do dirs="$dirs $TMP/$s"; done
# shellcheck disable=SC2086
"$BUILD/bench/scvardo-scaling" -n "${NS:-3,5,7,9}" -t "${THREADS:-1,2}" "$FRAMES" "$K" $dirs
