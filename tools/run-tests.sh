#!/bin/sh
# Runs the ctest presets given, each with its own output, all of them even after one failed;
# then a short summary of the suites (tools/test-summary.py). Exits 1 when a test failed.
#   run-tests.sh PRESET...
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
logs=${VUQ_LOG_DIR:-$repo/build/logs}
mkdir -p "$logs"
logs=$(cd "$logs" && pwd)
# The tests leave their logs and counts where the summary reads them; none from an earlier run.
export VUQ_LOG_DIR="$logs"
rm -f "$logs"/counts-*.json
status=0
for preset in "$@"; do
    rm -f "$logs/ctest-$preset.xml"
    echo "ctest --preset $preset"
    # Side by side, one test a core: the tests that share a folder or Wine prefixes say so.
    ctest --preset "$preset" --parallel "$(nproc)" --output-junit "$logs/ctest-$preset.xml" ||
        status=1
done
/usr/bin/python3 "$repo/tools/test-summary.py" "$logs" "$@" || status=1
exit $status
