#!/bin/sh
# Runs a Python script of the Wine test bench against the real VuqSetup.exe: directly where
# this machine can execute 32-bit x86 code, else inside the test VM (tools/wine-vm).
#   wine-run.sh EXE HELPER_DIR WORK_DIR SCRIPT [script options...]
# The script gets --bin (the exe and the helper programs) and --prefix-root (where the Wine
# prefixes are kept between runs) before the options given here.
set -eu

exe=$1 helpers=$2 work=$3 script=$4
shift 4
tools=$(cd "$(dirname "$0")" && pwd)
bench=$(cd "$tools/../tests/e2e" && pwd)

rm -rf "$work/job"
mkdir -p "$work/job/bin" "$work/prefixes"
cp "$exe" "$work/job/bin/VuqSetup.exe"
for helper in driver fake_payload regtool min_launcher poll_launcher split_launcher \
    VuqSetupWithoutDllApi VuqSetupWithoutWow64Api VuqSetupWithoutSplitApi; do
    cp "$helpers/$helper.exe" "$work/job/bin/"
done
cp "$bench"/*.py "$work/job/"
cp "$script" "$work/job/"
name=$(basename "$script")

if sh "$tools/wine-vm/can-run-32bit.sh"; then
    cd "$work/job"
    exec /usr/bin/python3 "$name" --bin bin --prefix-root "$work/prefixes" "$@"
fi

# Inside the VM the prefixes live on their own disk, kept between runs.
{
    echo 'set -e'
    echo 'mkdir -p /prefixes && mount /dev/vdc /prefixes'
    printf 'python3 %s --bin bin --prefix-root /prefixes' "$name"
    for arg in "$@"; do printf " '%s'" "$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")"; done
    echo
} > "$work/job/job.sh"
exec sh "$tools/wine-vm/run-in-vm.sh" "$work/job"
