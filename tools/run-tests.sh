#!/bin/sh
# Runs the ctest presets given, each with its own output, all of them even after one failed;
# then a short summary of the suites (tools/test-summary.py). Exits 1 when a test failed.
#   run-tests.sh PRESET...
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
logs=${VUQ_LOG_DIR:-$repo/build/logs}
mkdir -p "$logs"
logs=$(cd "$logs" && pwd)
status=0
for preset in "$@"; do
    rm -f "$logs/ctest-$preset.xml"
    echo "ctest --preset $preset"
    # Each test's output goes whole into the JUnit file: the summary reads its count of checks.
    ctest --preset "$preset" --output-junit "$logs/ctest-$preset.xml" \
        --test-output-size-passed 1000000 || status=1
done
/usr/bin/python3 "$repo/tools/test-summary.py" "$logs" "$@" || status=1
exit $status
