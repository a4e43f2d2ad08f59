#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR SC_VARDO MAKE_SAMPLE: installs the build into a
# scratch prefix, builds a user program with find_package(scvardo) (shared and
# static library) and with pkg-config, and checks all give the masks sc-vardo
# writes and that the shared library is found by its SONAME.
set -euo pipefail
BUILD=$1; SRC=$2; TOOL=$3; MAKE_SAMPLE=$4
T=$(mktemp -d); trap 'rm -rf "$T"' EXIT
cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null
cmake -S "$SRC/tests/install" -B "$T/user" -DCMAKE_PREFIX_PATH="$T/prefix" >/dev/null
cmake --build "$T/user" >/dev/null
export PKG_CONFIG_PATH="$T/prefix/lib/pkgconfig"
g++ -std=c++17 "$SRC/tests/install/user.cpp" -o "$T/user-pc" $(pkg-config --cflags --libs scvardo) \
  -Wl,-rpath,"$T/prefix/lib"
soname=$(readelf -d "$T/prefix/lib/libscvardo.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname =~ ^libscvardo\.so\.[0-9]+$ ]] && [ -f "$T/prefix/lib/$soname" ] && [ -f "$T/prefix/lib/libscvardo.a" ] ||
  { echo "installed library: SONAME '$soname', or the files it names missing" >&2; exit 1; }
needs() { readelf -d "$1" | grep -q "(NEEDED).*\[$soname\]"; }
needs "$T/user/user" && needs "$T/user-pc" && ! needs "$T/user/user-static" ||
  { echo "the programs do not link the library as asked (shared, shared, static)" >&2; exit 1; }
"$MAKE_SAMPLE" "$T/seq" --frames 30 --size 48x40 >/dev/null
mkdir -p "$T/cli" "$T/a" "$T/b" "$T/c"
(cd "$T/cli" && "$TOOL" "$T/seq/input/in" 1 30 -K 10 >/dev/null)
"$T/user/user" "$T/seq" 1 30 10 "$T/a"
"$T/user-pc" "$T/seq" 1 30 10 "$T/b"
"$T/user/user-static" "$T/seq" 1 30 10 "$T/c"
for f in "$T"/cli/bin*.png; do
  for d in a b c; do cmp "$f" "$T/$d/$(basename "$f")"; done
done
echo "installed library ($soname and libscvardo.a): $(ls "$T"/cli/bin*.png | wc -l) masks equal the tool's"
