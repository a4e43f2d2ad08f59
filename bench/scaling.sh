#!/bin/sh
# bench/scaling.sh BUILD [SEQDIR]: scaled copies of the first frames of a
# sequence (default ../shared/data/highway) at 320x240, 640x480, 1280x960
# and 1920x1080 in a scratch folder under /tmp (removed afterwards), then
# the cost table of scvardo-scaling for them.
set -eu
BUILD=$1
SEQ=${2:-$(dirname "$0")/../../shared/data/highway}
FRAMES=${FRAMES:-30}
K=${K:-10}
TMP=$(mktemp -d /tmp/scvardo-scaling.XXXXXX)
trap 'rm -rf "$TMP"' EXIT
/usr/bin/python3 - "$SEQ/input" "$TMP" "$FRAMES" <<'PY'
import sys, os, cv2
src, dst, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
for w, h in ((320, 240), (640, 480), (1280, 960), (1920, 1080)):
    d = os.path.join(dst, "%dx%d" % (w, h))
    os.makedirs(d)
    for f in range(1, count + 1):
        img = cv2.imread(os.path.join(src, "in%06d.jpg" % f))
        if img is None:
            sys.exit("cannot read frame %d of %s" % (f, src))
        cv2.imwrite(os.path.join(d, "in%06d.jpg" % f), cv2.resize(img, (w, h), interpolation=cv2.INTER_LINEAR), [cv2.IMWRITE_JPEG_QUALITY, 95])
PY
"$BUILD/bench/scvardo-scaling" "$FRAMES" "$K" "$TMP/320x240" "$TMP/640x480" "$TMP/1280x960" "$TMP/1920x1080"
