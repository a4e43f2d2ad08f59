#!/bin/sh
# run.sh SOURCE_DIR WORK_DIR MAKE_SAMPLE [SECONDS]: builds the fuzz target
# with clang's libFuzzer and runs it for a bounded time. Exit 77 (skipped)
# when clang or libFuzzer is missing; a crash fails and leaves its input in
# WORK_DIR for a regular test.
set -u
SRC=$1 WORK=$2 MAKE_SAMPLE=$3 SECS=${4:-30}
if ! command -v clang++ >/dev/null; then echo "SKIP: clang++ not found (Debian: clang, libclang-rt-14-dev)"; exit 77; fi
mkdir -p "$WORK/corpus"
if ! clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$SRC/src" -I"$SRC/include" $(pkg-config --cflags opencv4 libturbojpeg) \
    "$SRC/tests/fuzz/cli_fuzz.cpp" "$SRC/src/cli/switches.cpp" "$SRC/src/cli/plan.cpp" \
    "$SRC/src/cli/frame_reader.cpp" -o "$WORK/cli_fuzz" \
    $(pkg-config --libs libturbojpeg) -lopencv_imgcodecs -lopencv_core; then
  echo "SKIP: cannot build with libFuzzer"; exit 77
fi
# Seeds: switches, a temporal ROI, a real 48x40 frame.
printf '\000-n\0005\000-e1\000.5\000-x\000a\000b' > "$WORK/corpus/switches"
printf '\00111 30\n' > "$WORK/corpus/troi"
"$MAKE_SAMPLE" "$WORK/sample" --frames 1 --size 48x40 >/dev/null &&
  { printf '\002'; cat "$WORK/sample/input/in000001.jpg"; } > "$WORK/corpus/frame"
exec "$WORK/cli_fuzz" -max_total_time="$SECS" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$WORK/" "$WORK/corpus"
