#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR SC_VARDO MAKE_SAMPLE: installs the build into a
# scratch prefix, builds a user program with find_package(scvardo) and with
# pkg-config, and checks both give the masks sc-vardo writes.
set -euo pipefail
BUILD=$1; SRC=$2; TOOL=$3; MAKE_SAMPLE=$4
T=$(mktemp -d); trap 'rm -rf "$T"' EXIT
cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null
cmake -S "$SRC/tests/install" -B "$T/user" -DCMAKE_PREFIX_PATH="$T/prefix" >/dev/null
cmake --build "$T/user" >/dev/null
export PKG_CONFIG_PATH="$T/prefix/lib/pkgconfig"
g++ -std=c++17 "$SRC/tests/install/user.cpp" -o "$T/user-pc" $(pkg-config --cflags --libs scvardo)
"$MAKE_SAMPLE" "$T/seq" --frames 30 --size 48x40 >/dev/null
mkdir -p "$T/cli" "$T/a" "$T/b"
(cd "$T/cli" && "$TOOL" "$T/seq/input/in" 1 30 -K 10 >/dev/null)
"$T/user/user" "$T/seq" 1 30 10 "$T/a"
"$T/user-pc" "$T/seq" 1 30 10 "$T/b"
for f in "$T"/cli/bin*.png; do
  cmp "$f" "$T/a/$(basename "$f")"
  cmp "$f" "$T/b/$(basename "$f")"
done
echo "installed library: $(ls "$T"/cli/bin*.png | wc -l) masks equal the tool's"
