#!/bin/sh
# Runs one Wine job: a Python script of the Wine harness (tests/e2e/winelab.py) against a
# VuqSetup.exe.
#   wine-run.sh EXE HELPER_DIR WORK_DIR SCRIPT [script options...]
# Every path is made absolute before anything else. SCRIPT runs in WORK_DIR and gets --exe,
# --bin (HELPER_DIR) and --prefix-root before the options given here. The Wine prefixes are
# kept between runs in VUQ_PREFIX_ROOT (default build/wine-prefixes), one job at a time.
#
# VUQ_WINE says who runs the job: "host" (this machine's Wine), "vm" (the test VM of
# tools/wine-vm, for machines that cannot execute 32-bit x86 code) or "auto" (the default: host
# where it can, else vm). The VM runs this same script, with VUQ_WINE=host, on the same paths.
set -eu

say() { echo "wine-run: $*" >&2; }
die() { say "$@"; exit 1; }
usage="usage: $0 EXE HELPER_DIR WORK_DIR SCRIPT [script options...]"
[ $# -ge 4 ] || die "$usage"

absolute() {
    [ -e "$1" ] || die "$1: no such file or folder (build it first: make windows)"
    if [ -d "$1" ]; then
        (cd "$1" && pwd)
    else
        printf '%s/%s\n' "$(cd "$(dirname "$1")" && pwd)" "$(basename "$1")"
    fi
}

tools=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$tools")
exe=$(absolute "$1")
helpers=$(absolute "$2")
mkdir -p "$3"
work=$(absolute "$3")
script=$(absolute "$4")
shift 4
prefixes=${VUQ_PREFIX_ROOT:-$repo/build/wine-prefixes}
mkdir -p "$prefixes"
prefixes=$(absolute "$prefixes")

way=${VUQ_WINE:-auto}
case $way in
host | vm) ;;
auto) if sh "$tools/wine-vm/can-run-32bit.sh"; then way=host; else way=vm; fi ;;
*) die "VUQ_WINE is '$way'; use host, vm or auto" ;;
esac

if [ "$way" = host ]; then
    command -v wine >/dev/null ||
        die "Wine is not installed: run 'sh tools/install-deps.sh wine' as root, or use VUQ_WINE=vm"
    sh "$tools/wine-vm/can-run-32bit.sh" ||
        die "this machine cannot execute 32-bit x86 code, so its Wine cannot run VuqSetup.exe; use VUQ_WINE=vm (or auto) to run Wine in the test VM"
    # Two jobs on one prefix would fight over its wineserver.
    exec 9>"$prefixes.lock"
    flock 9
    cd "$work"
    PYTHONPATH="$repo/tests/e2e" PYTHONDONTWRITEBYTECODE=1 \
        exec /usr/bin/python3 "$script" --exe "$exe" --bin "$helpers" --prefix-root "$prefixes" "$@"
fi

# The VM gets the same files at the same paths and runs this script there, the prefix disk
# mounted where the prefixes belong.
# Its stages of set-up (tools/stage.sh) show as here: a line that rewrites itself where this
# output is a terminal (run-in-vm.sh rewrites it), else plain lines; their logs come back into
# build/logs/ after the job, each after a line "vuq-vm-log NAME", its lines starting with "|".
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
case ${VUQ_PROGRESS:-} in
tty | relay) progress=relay ;;
lines) progress=lines ;;
*) if [ -t 1 ]; then progress=relay; else progress=lines; fi ;;
esac
job=$work/vm-job
rm -rf "$job"
mkdir -p "$job"
{
    echo 'set -e'
    echo 'echo vuq-vm-job'
    echo 'tar -C / -xf inputs.tar'
    echo "mkdir -p $(quote "$prefixes") && mount /dev/vdc $(quote "$prefixes")"
    echo "export VUQ_IN_VM=1 VUQ_PROGRESS=$progress VERBOSE=$(quote "${VERBOSE:-}")"
    printf 'status=0\nVUQ_WINE=host VUQ_PREFIX_ROOT=%s sh %s' "$(quote "$prefixes")" \
        "$(quote "$tools/wine-run.sh")"
    for arg in "$exe" "$helpers" "$work" "$script" "$@"; do printf ' %s' "$(quote "$arg")"; done
    echo ' || status=$?'
    echo 'echo vuq-vm-logs'
    echo "for log in $(quote "$repo/build/logs")/*.log; do"
    echo '    [ -f "$log" ] || continue'
    echo '    echo "vuq-vm-log ${log##*/}"'
    echo "    sed 's/^/|/' \"\$log\""
    echo 'done'
    echo 'exit $status'
} >"$job/job.sh"
# The sources of the harness and the Windows programs, nothing of the build's own files.
{
    find "$tools" "$repo/tests/e2e" -name __pycache__ -prune -o -type f -print
    find "$helpers" -maxdepth 1 -name '*.exe'
    echo "$exe"
    echo "$script"
} | sed 's|^/||' | tar -C / -cf "$job/inputs.tar" --no-recursion -T -
exec sh "$tools/wine-vm/run-in-vm.sh" "$job"
