#!/usr/bin/env bash
# bench/speed-report.sh BUILD [OLD_BUILD] [SEQDIR]: every speed figure of
# docs/benchmarks.md and docs/scale.md in one run, as markdown on standard
# output (progress on standard error). Builds nothing: BUILD is a Release
# build folder with the benchmarks (sc-vardo, sc-vardo-video,
# bench/scvardo-peers, bench/scvardo-scaling); OLD_BUILD, if given, holds an
# older sc-vardo to compare whole runs with (bench/whole-run.sh; with
# bench/old-build-isa.patch it follows SCVARDO_ISA too). SEQDIR defaults to
# ../shared/data/highway. ROUNDS (default 3) rounds per timing; PATHS
# (default "avx512 avx2 portable") the paths to time, those the CPU lacks
# left out. Scratch files go to a folder under /tmp, removed at the end.
#
# Each section names the load average (/proc/loadavg) before it: on a
# shared machine every time depends on it, MOG2's as much as ours, which is
# why MOG2 is timed in the same run, in turn with SC-VARDO each round.
set -euo pipefail
BENCH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD=$(cd "$1" && pwd)
OLD=${2:+$(cd "$2" && pwd)}
SEQ=$(cd "${3:-$BENCH/../../shared/data/highway}" && pwd)
ROUNDS=${ROUNDS:-3}
TMP=$(mktemp -d /tmp/scvardo-speed.XXXXXX)
YES=""
cleanup() {
  [ -z "$YES" ] || kill "$YES" 2> /dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT
for f in sc-vardo sc-vardo-video bench/scvardo-peers bench/scvardo-scaling; do
  [ -x "$BUILD/$f" ] || { echo "speed-report: no $BUILD/$f (a Release build with -DSCVARDO_BUILD_BENCH=ON)" >&2; exit 2; }
done
load() { cut -d' ' -f1-3 /proc/loadavg; }
note() { echo "speed-report: $*" >&2; }

# The paths this CPU runs: sc-vardo --version names the one it takes.
paths=""
for p in ${PATHS:-avx512 avx2 portable}; do
  got=$(SCVARDO_ISA=$p "$BUILD/sc-vardo" --version 2> /dev/null | sed -n 's/.*instruction set \([a-z0-9]*\).*/\1/p')
  [ "$got" = "$p" ] && paths="$paths $p"
done
paths=${paths# }
best=${paths%% *}

echo "## Speed report, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc --all) hardware threads, $(nproc) usable by this process;" \
  "vector extensions: $(grep -m1 '^flags' /proc/cpuinfo | grep -o 'avx512bw\|avx512f\|avx2\|sse4_2\|asimd' | sort -u | tr '\n' ' ')"
echo "- paths timed: $paths (best: $best); build: $BUILD ($("$BUILD/sc-vardo" --version))"
echo "- sequence: $SEQ; $ROUNDS round(s) per timing; load average at the start: $(load)"
echo

# --- 1. The passes against MOG2, per path --------------------------------
# One scvardo-peers run per path: SC-VARDO on one thread and with its default
# threads, MOG2 on one thread and with OpenCV's default, in turn each round.
peers() {  # OUTFILE, then the environment
  "$BUILD/bench/scvardo-peers" "$SEQ" "$TMP/peers-out" "$ROUNDS" --no-knn > "$1" 2> /dev/null
  rm -rf "$TMP/peers-out"
}
row() {  # FILE METHOD THREADS-ROW(1 or 2): ms/frame and warm-up ms/frame
  grep "^| $2" "$1" | sed -n "${3}p" | awk -F'|' '{gsub(/ /, ""); printf "%s / %s", $8, $10}'
}
median_of() {  # FILE THREADS WHICH(online|warm-up); the defined mode's line comes before --adaptive's
  grep "MOG2's time over SC-VARDO's, $2 thread" "$1" | sed -n "s/.*$3[^(]*(median \([0-9.]*\)).*/\1/p" | head -1
}
echo "### The passes against OpenCV MOG2 (highway, n = 3)"
echo
echo "ms per frame, medians of the rounds; the ratios are MOG2's time over SC-VARDO's, per round, their median (above 1: SC-VARDO is faster)."
echo "Targets: default threads at least 1.5, one thread at least 0.9."
echo
echo "| path | load before | SC-VARDO 1 thread, online / calibration | SC-VARDO default threads | MOG2 1 thread | MOG2 default threads | ratio online, 1 thread | ratio calibration, 1 thread | ratio online, default | ratio calibration, default |"
echo "|---|---|---|---|---|---|---:|---:|---:|---:|"
declare -A online1
for p in $paths; do
  note "passes against MOG2, path $p"
  l=$(load)
  SCVARDO_ISA=$p peers "$TMP/peers-$p"
  f="$TMP/peers-$p"
  t=$(grep -c '^| SC-VARDO (n=' "$f")
  threads=$(grep '^| SC-VARDO (n=' "$f" | tail -1 | awk -F'|' '{gsub(/ /, ""); print $3}')
  online1[$p]=$(grep '^| SC-VARDO (n=' "$f" | head -1 | awk -F'|' '{gsub(/ /, ""); print $8}')
  echo "| $p | $l | $(row "$f" 'SC-VARDO (n=' 1) | $(row "$f" 'SC-VARDO (n=' "$t") | $(row "$f" 'OpenCV MOG2' 1) | $(row "$f" 'OpenCV MOG2' "$t") |" \
    "$(median_of "$f" 1 online) | $(median_of "$f" 1 warm-up) |" \
    "$(median_of "$f" "$threads" online) | $(median_of "$f" "$threads" warm-up) |"
done
echo
for p in $paths; do
  echo "- $p: $(sed -n 's/^Machine: //p' "$TMP/peers-$p")"
done
if [ -n "${online1[avx2]:-}" ] && [ -n "${online1[portable]:-}" ]; then
  echo "- portable over AVX2, online, one thread: $(echo "${online1[portable]} / ${online1[avx2]}" | bc -l | xargs printf '%.2f') (target at most 3)"
fi
echo

# --- 2. Sharing the CPUs --------------------------------------------------
echo "### Sharing the CPUs (path $best)"
echo
note "passes with one other CPU-bound process"
yes > /dev/null &
YES=$!
l=$(load)
SCVARDO_ISA=$best peers "$TMP/peers-busy"
kill "$YES"
wait "$YES" 2> /dev/null || true
YES=""
f="$TMP/peers-busy"
t=$(grep -c '^| SC-VARDO (n=' "$f")
echo "With \`yes > /dev/null\` running (load before: $l), ms per frame online / calibration, medians of $ROUNDS rounds:"
echo
echo "| SC-VARDO --threads 1, online / calibration | SC-VARDO default threads | MOG2 1 thread | MOG2 default threads |"
echo "|---|---|---|---|"
echo "| $(row "$f" 'SC-VARDO (n=' 1) | $(row "$f" 'SC-VARDO (n=' "$t") | $(row "$f" 'OpenCV MOG2' 1) | $(row "$f" 'OpenCV MOG2' "$t") |"
echo
echo "Target: default threads no slower than --threads 1."
echo
# The threads a run takes, from its run record.
threads_of() {  # then the command's prefix
  rm -rf "$TMP/rec" && mkdir -p "$TMP/rec"
  (cd "$TMP/rec" && "$@" "$BUILD/sc-vardo" "$SEQ/input/in" 1 30 -K 10 > /dev/null 2>&1)
  sed -n 's/^threads: //p' "$TMP/rec/sc-vardo-run.txt"
}
echo "- threads in sc-vardo-run.txt: $(threads_of env) with the defaults; $(threads_of taskset -c 0) under \`taskset -c 0\`" \
  "(target 1); cgroup cpu.max: $(cat /sys/fs/cgroup/cpu.max 2> /dev/null || echo none)"
echo

# --- 3. Whole runs against the older build ---------------------------------
if [ -n "$OLD" ]; then
  echo "### Whole sc-vardo runs on highway (decode and PNG output included)"
  echo
  echo "\`bench/whole-run.sh\`, the older build ($OLD) and this one in turn; target: this one at least 1.5x faster (wall)."
  echo
  for p in $paths; do
    [ "$p" = portable ] && continue
    note "whole runs, path $p"
    SCVARDO_ISA=$p "$BENCH/whole-run.sh" "$OLD/sc-vardo" "$BUILD/sc-vardo" "$SEQ" "$ROUNDS" | tee "$TMP/whole-$p"
    awk -F'|' '$3 ~ /old/ {o[$2] = $4} $3 ~ /new/ {n[$2] = $4}
      END {s = ""; for (r in o) if (r in n) s = s sprintf(" %.2f", o[r] / n[r]); print "\nOlder wall time over this one'"'"'s, per round:" s "\n"}' "$TMP/whole-$p"
  done
fi

# --- 4. Cost growth with n and frame size ----------------------------------
mkdir -p "$TMP/frames"
note "scaled frames"
/usr/bin/python3 - "$SEQ/input" "$TMP/frames" <<'PY'
import os, sys, time, cv2
src, dst = sys.argv[1], sys.argv[2]
cv2.setNumThreads(1)
rows = []
for w, h in ((320, 240), (1280, 720), (1920, 1080)):
    d = os.path.join(dst, "%dx%d" % (w, h), "input")
    os.makedirs(d)
    names = []
    for f in range(1, 61):
        img = cv2.imread(os.path.join(src, "in%06d.jpg" % f))
        if img is None:
            sys.exit("cannot read frame %d of %s" % (f, src))
        names.append(os.path.join(d, "in%06d.jpg" % f))
        cv2.imwrite(names[-1], cv2.resize(img, (w, h), interpolation=cv2.INTER_LINEAR), [cv2.IMWRITE_JPEG_QUALITY, 95])
    if w > 320:
        # The same frames as a video for sc-vardo-video (MPEG-4 part 2).
        out = cv2.VideoWriter(os.path.join(dst, "%dx%d.mp4" % (w, h)), cv2.VideoWriter_fourcc(*"mp4v"), 25, (w, h))
        for name in names:
            out.write(cv2.imread(name))
        out.release()
PY
scaling() {  # the rows of scvardo-scaling's table
  "$BUILD/bench/scvardo-scaling" "$@" | grep '^| [0-9]'
}
echo "### Cost growth (frames 1..30 of the sequence scaled, 1..10 calibrate; the face's pass times)"
echo
echo "| path | load before | size | n | threads | calibration ms/frame | ns/pixel | online ms/frame | ns/pixel |"
echo "|---|---|---|---:|---:|---:|---:|---:|---:|"
declare -A ns
for p in $paths; do
  note "cost growth, path $p"
  l=$(load)
  {
    SCVARDO_ISA=$p scaling -n 3,5,7,9 -t 1 30 10 "$TMP/frames/320x240/input"
    SCVARDO_ISA=$p scaling -n 3 -t 1,0 30 10 "$TMP/frames/1280x720/input" "$TMP/frames/1920x1080/input"
  } > "$TMP/scaling-$p"
  sed "s/^|/| $p | $l |/" "$TMP/scaling-$p"
  while IFS='|' read -r _ size n threads _ calns _ onns _; do
    ns[$p,${size// /},${n// /},${threads// /}]="${calns// /} ${onns// /}"
  done < "$TMP/scaling-$p"
done
echo
ratio() { echo "($1) / ($2)" | bc -l | xargs printf '%.2f'; }
echo "Per-pixel cost of n over n = 3 (320x240, one thread) against the cells' ratio n^2/9 (target: within 1.2x of it), and 1920x1080 over 320x240 at n = 3 (target: at most 1.25), calibration / online:"
echo
echo "| path | n = 5 (cells 2.78) | n = 7 (cells 5.44) | n = 9 (cells 9.00) | 1920x1080 over 320x240 |"
echo "|---|---|---|---|---|"
for p in $paths; do
  read -r c3 o3 <<< "${ns[$p,320x240,3,1]}"
  line="| $p |"
  for n in 5 7 9; do
    read -r c o <<< "${ns[$p,320x240,$n,1]}"
    line="$line $(ratio "$c" "$c3") / $(ratio "$o" "$o3") (cost over cells: $(ratio "$c * 9" "$c3 * $n * $n") / $(ratio "$o * 9" "$o3 * $n * $n")) |"
  done
  read -r c o <<< "${ns[$p,1920x1080,3,1]}"
  echo "$line $(ratio "$c" "$c3") / $(ratio "$o" "$o3") |"
done
echo

# --- 5. Peak memory and streams per core -----------------------------------
echo "### Memory and live streams (n = 3)"
echo
note "peak memory of a highway run"
(mkdir -p "$TMP/rss" && cd "$TMP/rss" && /usr/bin/time -f "%M" -o "$TMP/rss.txt" "$BUILD/sc-vardo" "$SEQ/input/in" > /dev/null)
echo "- peak resident memory of a whole highway run (path $best, default threads): $(echo "$(cat "$TMP/rss.txt") / 1024" | bc -l | xargs printf '%.1f') MB (target at most 80)"
echo
echo "sc-vardo-video on 60 frames of the sequence scaled and written as MPEG-4 part 2 at 25 fps (-K 10, --threads 1, masks to PNG files):" \
  "CPU seconds (user + system) per frame of the whole process, decoding and output included, and the 25 fps streams one core keeps up with" \
  "(40 ms over that; with the passes alone, from the online ns/pixel above: 40 ms over ns/pixel x pixels)."
echo
echo "| path | load before | size | CPU ms/frame, whole run | streams per core, whole run | online passes ms/frame | streams per core, passes alone | peak RSS MB |"
echo "|---|---|---|---:|---:|---:|---:|---:|"
for p in $paths; do
  for size in 1280x720 1920x1080; do
    note "sc-vardo-video $size, path $p"
    l=$(load)
    rm -rf "$TMP/video" && mkdir -p "$TMP/video"
    SCVARDO_ISA=$p /usr/bin/time -f "%U %S %M" -o "$TMP/video.txt" "$BUILD/sc-vardo-video" "$TMP/frames/$size.mp4" -K 10 --threads 1 --out "$TMP/video" > /dev/null 2>&1
    read -r user sys rss < "$TMP/video.txt"
    cpu=$(echo "($user + $sys) * 1000 / 60" | bc -l)
    read -r _ o <<< "${ns[$p,$size,3,1]}"
    w=${size%x*}
    h=${size#*x}
    passes=$(echo "$o * $w * $h / 1000000" | bc -l)
    printf '| %s | %s | %s | %.1f | %.1f | %.1f | %.1f | %.0f |\n' "$p" "$l" "$size" "$cpu" "$(echo "40 / $cpu" | bc -l)" \
      "$passes" "$(echo "40 / $passes" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
  done
done
echo
echo "Load average at the end: $(load)."
