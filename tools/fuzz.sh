#!/bin/sh
# Builds the fuzz preset and runs each libFuzzer harness for a bounded time (FUZZ_SECONDS,
# default 60). Each harness grows its own corpus in build/fuzz/corpus-<harness>, starting from
# the committed seeds, which it only reads. Prints the executions each harness reached and
# every finding; exits 1 when there is one.
set -eu

cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
# Every harness the fuzz build defines, as it lists them.
harnesses=$(cat "$build/harnesses.txt")

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
        -artifact_prefix="$findings/" "$corpus" "tests/fuzz/corpus/$name" >"$log" 2>&1 ||
        status=$?
    count="$(executions_of "$log")"
    echo "$name: ${count:-?} executions (limit ${seconds} s), corpus $(ls "$corpus" | wc -l) inputs"
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
for name in $harnesses; do
    run_harness "$name" || found=1
done
exit "$found"
