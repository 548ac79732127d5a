#!/bin/sh
# Runs one Wine job: a Python script that uses the Wine harness (winelab.py, beside this
# script) against a VuqSetup.exe.
#   wine-run.sh EXE HELPER_DIR WORK_DIR SCRIPT [script options...]
# Every path is made absolute before anything else. SCRIPT runs in WORK_DIR and gets --exe,
# --bin (HELPER_DIR) and --prefix-root before the options given here. The Wine prefixes are
# kept between runs in VUQ_PREFIX_ROOT (default build/wine-prefixes), one job at a time.
#
# VUQ_WINE says who runs the job: "host" (this machine's Wine), "vm" (the test VM of
# vm/ here, for machines that cannot execute 32-bit x86 code) or "auto" (the default: host
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

lab=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$lab")
tools=$repo/tools
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
auto) if sh "$tools/can-run-32bit.sh"; then way=host; else way=vm; fi ;;
*) die "VUQ_WINE is '$way'; use host, vm or auto" ;;
esac

if [ "$way" = host ]; then
    command -v wine >/dev/null ||
        die "Wine is not installed: run 'sh tools/install-deps.sh wine' as root, or use VUQ_WINE=vm"
    sh "$tools/can-run-32bit.sh" ||
        die "this machine cannot execute 32-bit x86 code, so its Wine cannot run VuqSetup.exe; use VUQ_WINE=vm (or auto) to run Wine in the test VM"
    # Two jobs on one prefix would fight over its wineserver.
    exec 9>"$prefixes.lock"
    flock 9
    cd "$work"
    PYTHONPATH="$lab" PYTHONDONTWRITEBYTECODE=1 \
        exec /usr/bin/python3 "$script" --exe "$exe" --bin "$helpers" --prefix-root "$prefixes" "$@"
fi

# The VM gets the same files at the same paths and runs this script there, the prefix disk
# mounted where the prefixes belong.
# Its stages of set-up (tools/stage.sh) show as here: a line that rewrites itself where this
# output is a terminal (run-in-vm.sh rewrites it), else plain lines; their logs and the counts
# come back into build/logs/ after the job, each after "vuq-vm-log NAME", its lines after "|".
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
    echo "prefixes=$(quote "$prefixes") logs=$(quote "$repo/build/logs")"
    echo "export VUQ_IN_VM=1 VUQ_PROGRESS=$progress VERBOSE=$(quote "${VERBOSE:-}")"
    echo "export VUQ_WINE=host VUQ_PREFIX_ROOT=$(quote "$prefixes")"
    echo "export VUQ_REPORT=$(quote "${VUQ_REPORT:-}")" \
        "VUQ_E2E_ONLY=$(quote "${VUQ_E2E_ONLY:-}") VUQ_E2E_ARCH=$(quote "${VUQ_E2E_ARCH:-}")"
    printf 'job() { sh %s' "$(quote "$lab/wine-run.sh")"
    for arg in "$exe" "$helpers" "$work" "$script" "$@"; do printf ' %s' "$(quote "$arg")"; done
    echo '; }'
    cat <<'EOF'
set -e
echo vuq-vm-job
tar -C / -xf inputs.tar
mkdir -p "$prefixes" && mount /dev/vdc "$prefixes"
status=0
job || status=$?
echo vuq-vm-logs
for log in "$logs"/*.log "$logs"/counts-*.json; do
    [ -f "$log" ] || continue
    echo "vuq-vm-log ${log##*/}"
    awk '{ print "|" $0 }' "$log" # a last line without its newline ends all the same
done
exit $status
EOF
} >"$job/job.sh"
# The sources of the lab, the set-up scripts, the script's own folder and the modules of the
# folder above it, the Windows programs and any payloads beside the exe; nothing of the build's
# own files.
{
    scripts=$(dirname "$script")
    find "$lab" "$tools" "$scripts" -name __pycache__ -prune -o -type f -print
    find "$(dirname "$scripts")" -maxdepth 1 -name '*.py'
    find "$helpers" -maxdepth 1 -name '*.exe'
    find "$(dirname "$exe")" -maxdepth 1 -name '*.wzq'
    echo "$exe"
    echo "$script"
} | sed 's|^/||' | tar -C / -cf "$job/inputs.tar" --no-recursion -T -
exec sh "$lab/vm/run-in-vm.sh" "$job"
