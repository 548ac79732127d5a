#!/bin/sh
# Builds VuqSetup.exe twice from different build and output directories and
# compares the two: the shipped file must not depend on where it was built.
# Usage: check_reproducible.sh SOURCE_DIR
set -eu

[ $# -eq 1 ] || { echo "usage: $0 SOURCE_DIR" >&2; exit 2; }
src=$(cd "$1" && pwd)
cmake=${CMAKE:-cmake}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM

# Names of different lengths, so that an embedded path also shifts everything after it.
for dir in "$tmp/a" "$tmp/second-build-directory"; do
    { "$cmake" -S "$src" -B "$dir" --toolchain "$src/cmake/mingw-i686.cmake" \
          -DCMAKE_BUILD_TYPE=MinSizeRel -DVUQ_DIST_DIR="$dir/dist" &&
      "$cmake" --build "$dir" --target VuqSetup; } >"$dir.log" 2>&1 ||
        { cat "$dir.log" >&2; echo "FAIL build in $dir" >&2; exit 1; }
done

compare() { # WHAT
    if cmp "$tmp/a/dist/VuqSetup.exe" "$tmp/second-build-directory/dist/VuqSetup.exe"; then
        echo "ok   $1 is identical from both build directories"
    else
        echo "FAIL $1 differs between build directories" >&2
        exit 1
    fi
}
compare VuqSetup.exe

# Pinned to two programs, the same files in both: the pins must not bring the path in.
"$cmake" --build "$tmp/a" --target fake_payload fake_payload64 >"$tmp/payloads.log" 2>&1 ||
    { cat "$tmp/payloads.log" >&2; echo "FAIL build of the payloads" >&2; exit 1; }
cp "$tmp/a/lab/helpers/fake_payload.exe" "$tmp/payload32.exe"
cp "$tmp/a/lab/helpers/fake_payload64.exe" "$tmp/payload64.exe"
for dir in "$tmp/a" "$tmp/second-build-directory"; do
    { "$cmake" "$dir" -DVUQ_PAYLOAD32="$tmp/payload32.exe" \
          -DVUQ_PAYLOAD64="$tmp/payload64.exe" &&
      "$cmake" --build "$dir" --target VuqSetup; } >"$dir.log" 2>&1 ||
        { cat "$dir.log" >&2; echo "FAIL pinned build in $dir" >&2; exit 1; }
done
compare "the pinned VuqSetup.exe"
