#!/bin/sh
# run.sh SOURCE_DIR WORK_DIR MAKE_SAMPLE [SECONDS]: builds the fuzz target
# with clang's libFuzzer and runs it for a bounded time. Exit 77 (skipped)
# when clang or libFuzzer is missing; a target that does not build, or a
# crash, fails (the crashing input is left in WORK_DIR for a regular test).
set -u
SRC=$1 WORK=$2 MAKE_SAMPLE=$3 SECS=${4:-30}
if ! command -v clang++ >/dev/null; then echo "SKIP: clang++ not found (Debian: clang, libclang-rt-14-dev)"; exit 77; fi
mkdir -p "$WORK/corpus"
printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' > "$WORK/probe.cpp"
if ! clang++ -fsanitize=fuzzer "$WORK/probe.cpp" -o "$WORK/probe" 2>/dev/null; then
  echo "SKIP: clang++ cannot link libFuzzer (Debian: libclang-rt-14-dev)"; exit 77
fi
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$SRC/src" -I"$SRC/include" $(pkg-config --cflags opencv4 libturbojpeg) \
    "$SRC/tests/fuzz/cli_fuzz.cpp" "$SRC/src/cli/switches.cpp" "$SRC/src/cli/plan.cpp" \
    "$SRC/src/cli/frame_reader.cpp" "$SRC/src/cli/video_source.cpp" "$SRC/src/core/temporal_roi.cpp" \
    -o "$WORK/cli_fuzz" $(pkg-config --libs libturbojpeg) -lopencv_videoio -lopencv_imgcodecs -lopencv_core || exit 1
# Seeds: switches, a temporal ROI, a real 48x40 frame, the same frame in a folder.
printf '\000-n\0005\000-e1\000.5\000-x\000a\000b' > "$WORK/corpus/switches"
printf '\00111 30\n' > "$WORK/corpus/troi"
"$MAKE_SAMPLE" "$WORK/sample" --frames 1 --size 48x40 >/dev/null &&
  { printf '\002'; cat "$WORK/sample/input/in000001.jpg"; } > "$WORK/corpus/frame" &&
  { printf '\003\000'; cat "$WORK/sample/input/in000001.jpg"; } > "$WORK/corpus/folder" || exit 1
SCVARDO_FUZZ_FRAME="$WORK/sample/input/in000001.jpg" exec "$WORK/cli_fuzz" -max_total_time="$SECS" \
  -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$WORK/" "$WORK/corpus"
