#!/bin/sh
# Runs each libFuzzer harness for a bounded time (FUZZ_SECONDS, default 60). Each harness grows
# its own corpus in BUILD_DIR/corpus-<harness>, starting from the committed seeds in
# SEEDS_DIR/<harness>, which it only reads. Prints the executions each harness reached and
# every finding; exits 1 when there is one.
#   run-fuzzers.sh BUILD_DIR SEEDS_DIR HARNESS...
set -eu

build=$1
seeds=$2
shift 2
seconds="${FUZZ_SECONDS:-60}"

executions_of() {
    sed -n 's/^stat::number_of_executed_units: *//p' "$1" | tail -n 1
}

run_harness() {
    name="$1"
    corpus="$build/corpus-$name"
    findings="$build/findings-$name"
    log="$build/fuzz-$name.log"
    # Findings of an earlier run must not be reported as this run's.
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings"
    status=0
    "$build/$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "$seeds/$name" >"$log" 2>&1 ||
        status=$?
    count="$(executions_of "$log")"
    inputs=$(find "$corpus" -type f | wc -l)
    echo "$name: ${count:-?} executions (limit ${seconds} s), corpus $inputs inputs"
    if [ "$status" -ne 0 ] || [ -n "$(ls "$findings")" ]; then
        echo "$name: FINDING (exit status $status), see $log" >&2
        for file in "$findings"/*; do
            [ -e "$file" ] && echo "  $file" >&2
        done
        return 1
    fi
    return 0
}

found=0
for name in "$@"; do
    run_harness "$name" || found=1
done
exit "$found"
