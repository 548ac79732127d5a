#!/bin/sh
# One line per stage of set-up, the tools' own output in a log file of its own.
#   . tools/stage.sh; stage NAME WHAT USUAL COMMAND [ARGS...]    (COMMAND may be a function)
#   sh tools/stage.sh NAME WHAT USUAL COMMAND [ARGS...]
# Prints "[set-up] WHAT (USUAL) ...", runs COMMAND with its output in $VUQ_LOG_DIR/NAME.log
# (default build/logs/ of this repository) and ends the line with "done in 1 min 12 s". While it
# runs, the line shows the time so far and, where the log tells, how far it is (packages, the
# steps of debootstrap, a build's percentage): on a terminal it rewrites itself every second,
# elsewhere (CI, a pipe) a line comes every 10 s. When COMMAND fails: one line naming the stage
# and its log, the log's last lines, and COMMAND's status.
#   VERBOSE=1          COMMAND's output shows as it comes (into the log as well)
#   VUQ_PROGRESS=tty|lines|relay  forces how progress shows; "relay" prints the rewritten line as
#                      lines "vuq-progress TEXT", which lab/vm/run-in-vm.sh rewrites on the
#                      host's terminal (the test VM's console is none)
#   VUQ_STAGE_TAG      the word in brackets (default set-up)
# A stage inside a stage (VUQ_STAGE_LOG set) just runs its command: one line, one log.

stage_time() {
    if [ "$1" -lt 60 ]; then
        echo "$1 s"
    elif [ $(($1 % 60)) = 0 ]; then
        echo "$(($1 / 60)) min"
    else
        echo "$(($1 / 60)) min $(($1 % 60)) s"
    fi
}

# How far the tools writing the log are: the last "== STEP" line our scripts write (not shown
# for "== apt-get ..." and "== debootstrap", which tell their own), then apt's package counts,
# debootstrap's steps or a CMake build's percentage.
stage_progress() {
    awk '
    function reset() { total = got = unpacked = configured = ds = dn = dv = dx = 0; pct = "" }
    function part(n, of) { return (of > 0 && n <= of) ? n "/" of : n }
    BEGIN { reset() }
    /^== / { step = substr($0, 4); sub(/^(apt-get|debootstrap).*/, "", step); reset(); next }
    /^cmake --build --preset / { step = $4; reset(); next }
    /^\[ *[0-9]+%\]/ { pct = $0; sub(/^\[ */, "", pct); sub(/%.*/, "%", pct); next }
    / upgraded, [0-9]+ newly installed, / { total = $1 + $3; next }
    total && /^Get:[0-9]/ { got++; next }
    total && /^Unpacking / { unpacked++; next }
    total && /^Setting up / { configured++; next }
    /^I: (Retrieving (InRelease|Release|Packages)|Validating Packages|Checking Release|Valid Release|Resolving|Checking component|Found)/ { ds = 1; next }
    /^I: Retrieving / { ds = 2; next }
    /^I: Validating / { ds = 2; dv++; next }
    /^I: Extracting / { ds = 3; dx++; next }
    /^I: Installing core/ { ds = 4; dn = 0; next }
    /^I: Unpacking required/ { ds = 5; dn = 0; next }
    /^I: Configuring required/ { ds = 6; dn = 0; next }
    /^I: Unpacking the base/ { ds = 7; dn = 0; next }
    /^I: Configuring the base/ { ds = 8; dn = 0; next }
    /^I: (Unpacking|Configuring) / { dn++; next }
    /^I: Base system installed/ { ds = 9; next }
    END {
        split("fetching the package lists|retrieving packages|extracting|installing the core" \
              "|unpacking the required packages|configuring the required packages" \
              "|unpacking the base system|configuring the base system", names, "|")
        if (configured) how = "setting up " part(configured, total) " packages"
        else if (unpacked) how = "unpacking " part(unpacked, total) " packages"
        else if (got) how = "downloading " part(got, total) " packages"
        else if (total) how = total " packages to install"
        else if (ds == 9) how = "debootstrap done"
        else if (ds) {
            how = "debootstrap step " ds "/8, " names[ds]
            if (ds == 2) how = how " (" dv ")"
            else if (ds == 3) how = how " " part(dx, dv)
            else if (ds == 5 || ds == 6) how = how " " part(dn, dx)
            else if (ds > 6) how = how " " part(dn, dv - dx)
        } else how = pct
        print step ((step != "" && how != "") ? ": " : "") how
    }' "$1" 2>/dev/null
}

# Runs in the background while the stage's command runs; ends with the shell that started it.
stage_watch() {
    _w_every=1
    case $_st_mode in lines) _w_every=10 ;; relay) _w_every=2 ;; esac
    _w_cols=
    [ "$_st_mode" != tty ] || _w_cols=$( (stty size </dev/tty) 2>/dev/null | cut -d' ' -f2)
    [ -n "$_w_cols" ] || _w_cols=80
    _w_next=$_w_every
    while kill -0 $$ 2>/dev/null; do
        sleep 1 >/dev/null 2>&1
        _w_took=$(($(date +%s) - _st_start))
        [ "$_w_took" -ge "$_w_next" ] || continue
        _w_next=$((_w_next + _w_every))
        _w_how=$(stage_progress "$_st_log")
        _w_so_far="$(stage_time "$_w_took")${_w_how:+, $_w_how}"
        case $_st_mode in
        tty) printf '\r%.*s\033[K' "$((_w_cols - 1))" "$_st_head $_w_so_far" >&2 ;;
        relay) printf 'vuq-progress %s %s\n' "$_st_head" "$_w_so_far" >&2 ;;
        *) printf '[%s]   still %s after %s\n' "$_st_tag" "$_st_what" "$_w_so_far" >&2 ;;
        esac
    done
}

# The log's path as the user would type it.
stage_path() {
    case $1 in "$PWD"/*) echo "${1#"$PWD"/}" ;; *) echo "$1" ;; esac
}

stage_end() {
    case $_st_mode in
    tty) printf '\r%s\033[K\n' "$1" >&2 ;;
    *) printf '%s\n' "$1" >&2 ;;
    esac
}

# Runs in a subshell of its own: a stage inside it only runs its command, into this log.
stage_command() {
    VUQ_STAGE_LOG=$_st_log
    export VUQ_STAGE_LOG
    set -e
    "$@"
}

stage() {
    if [ -n "${VUQ_STAGE_LOG:-}" ]; then
        shift 3
        "$@"
        return
    fi
    _st_what=$2
    _st_tag=${VUQ_STAGE_TAG:-set-up}
    _st_head="[$_st_tag] $2 ($3) ..."
    mkdir -p "$VUQ_LOG_DIR"
    _st_log=$(cd "$VUQ_LOG_DIR" && pwd)/$1.log
    shift 3
    _st_mode=${VUQ_PROGRESS:-}
    if [ -z "$_st_mode" ]; then
        if [ -t 2 ]; then _st_mode="tty"; else _st_mode="lines"; fi
    fi
    _st_start=$(date +%s)
    case $- in *e*) _st_errexit=1 && set +e ;; *) _st_errexit= ;; esac
    if [ "${VERBOSE:-}" = 1 ]; then
        _st_mode=lines
        printf '%s\n' "$_st_head" >&2
        { (stage_command "$@") </dev/null 2>&1; echo $? >"$_st_log.status"; } | tee "$_st_log"
        _st_status=$(cat "$_st_log.status")
        rm -f "$_st_log.status"
    else
        case $_st_mode in
        tty) printf '%s' "$_st_head" >&2 ;;
        relay) printf 'vuq-progress %s\n' "$_st_head" >&2 ;;
        *) printf '%s\n' "$_st_head" >&2 ;;
        esac
        : >"$_st_log"
        stage_watch &
        _st_watcher=$!
        (stage_command "$@") >"$_st_log" 2>&1 </dev/null
        _st_status=$?
        kill "$_st_watcher" 2>/dev/null
        wait "$_st_watcher" 2>/dev/null
    fi
    _st_took=$(stage_time $(($(date +%s) - _st_start)))
    if [ "$_st_status" = 0 ]; then
        stage_end "$_st_head done in $_st_took"
    elif [ "${VERBOSE:-}" = 1 ]; then
        stage_end "$_st_head FAILED after $_st_took (above); its log: $(stage_path "$_st_log")"
    else
        stage_end "$_st_head FAILED after $_st_took; the end of its log, $(stage_path "$_st_log"):"
        tail -n "${VUQ_STAGE_TAIL:-20}" "$_st_log" | sed 's/^/    /' >&2
    fi
    [ -z "$_st_errexit" ] || set -e
    return "$_st_status"
}

# As a command: the log folder is this repository's build/logs unless VUQ_LOG_DIR says.
case ${0##*/} in
stage.sh)
    set -u
    [ $# -ge 4 ] || { echo "usage: $0 NAME WHAT USUAL COMMAND [ARGS...]" >&2; exit 2; }
    : "${VUQ_LOG_DIR:=$(cd "$(dirname "$0")/.." && pwd)/build/logs}"
    stage "$@"
    ;;
esac
