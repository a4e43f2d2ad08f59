#!/bin/sh
# bench/whole-run.sh OLD NEW [SEQDIR] [ROUNDS]: whole runs of two sc-vardo
# binaries on a sequence (default ../shared/data/highway), decoding and PNG
# output included, in turn, ROUNDS times (default 3), each in a scratch
# folder under /tmp (removed afterwards). Prints a markdown row per run:
# wall and user seconds, peak resident memory, the calibration and online
# ms/frame of the timing lines, the load average; then whether the two wrote
# byte-identical files. ARGS (environment) adds switches to both runs, such
# as "--threads 1"; SCVARDO_ISA chooses the path of a build that reads it
# (bench/old-build-isa.patch lets an older build read it too).
set -eu
OLD=$1
NEW=$2
SEQ=${3:-$(dirname "$0")/../../shared/data/highway}
ROUNDS=${4:-3}
ARGS=${ARGS:-}
TMP=$(mktemp -d /tmp/scvardo-whole.XXXXXX)
trap 'rm -rf "$TMP"' EXIT
echo "Path: ${SCVARDO_ISA:-(best)}; switches: ${ARGS:-(none)}; $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
echo
echo "| round | binary | wall s | user s | peak RSS MB | calibration ms/frame | online ms/frame | load |"
echo "|---:|---|---:|---:|---:|---:|---:|---|"
r=1
while [ "$r" -le "$ROUNDS" ]; do
  for which in old new; do
    bin=$OLD
    [ "$which" = new ] && bin=$NEW
    out="$TMP/$which"
    rm -rf "$out"
    mkdir -p "$out"
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    # shellcheck disable=SC2086
    (cd "$out" && /usr/bin/time -f "%e %U %M" -o "$TMP/time" "$bin" "$SEQ/input/in" $ARGS > "$TMP/stdout" 2> "$TMP/stderr")
    set -- $(cat "$TMP/time")
    ms=$(grep -o '([0-9.]* msecs/frame' "$TMP/stdout" | tr -d '(' | awk '{printf "%s | ", $1}')
    printf '| %d | %s | %s | %s | %.1f | %s%s |\n' "$r" "$which" "$1" "$2" "$(echo "$3 / 1024" | bc -l)" "$ms" "$load"
  done
  r=$((r + 1))
done
rm -f "$TMP/old/sc-vardo-run.txt" "$TMP/new/sc-vardo-run.txt" "$TMP/old/.sc-vardo.lock" "$TMP/new/.sc-vardo.lock"
echo
if diff -rq "$TMP/old" "$TMP/new" > /dev/null; then
  echo "Both wrote the same $(ls "$TMP/new" | wc -l) files, byte for byte."
else
  echo "The two runs wrote different files:"
  diff -rq "$TMP/old" "$TMP/new" | head
fi
