#!/bin/sh
# Records what a pinned build of VuqSetup.exe may start: the size and SHA-256 of each payload.
#   pin-payloads.sh PAYLOAD32 PAYLOAD64          checks only: both or neither, each readable
#                                                and a program the system it is for can start
#   pin-payloads.sh PAYLOAD32 PAYLOAD64 OUTPUT   writes the pins the build compiles in to OUTPUT
#                                                and prints them
# On failure: one line on stderr, exit 1, OUTPUT neither written nor changed.
set -eu

fail() {
    echo "pin-payloads: $*" >&2
    exit 1
}

[ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: $0 PAYLOAD32 PAYLOAD64 [OUTPUT]"
[ -n "$1$2" ] || [ $# -eq 3 ] || exit 0
[ -n "$1" ] || fail "PAYLOAD64 is given without PAYLOAD32: pin both payloads, or neither"
[ -n "$2" ] || fail "PAYLOAD32 is given without PAYLOAD64: pin both payloads, or neither"
for payload in "$1" "$2"; do
    if [ ! -f "$payload" ] || [ ! -r "$payload" ]; then fail "cannot read the payload $payload"; fi
done

# COUNT bytes at OFFSET of FILE as one hex string; shorter past the end of the file.
hex_at() { od -An -v -tx1 -j "$2" -N "$3" "$1" 2>/dev/null | tr -d ' \n'; }

# The little-endian number of COUNT bytes at OFFSET of FILE; empty past the end of the file.
number_at() {
    hex=$(hex_at "$@") value=""
    [ ${#hex} -eq $(($3 * 2)) ] || return 0
    while [ -n "$hex" ]; do
        value=$value${hex#"${hex%??}"}
        hex=${hex%??}
    done
    echo $((0x$value))
}

# What a file without the MZ header of a program is, by its first bytes.
kind_of_file() {
    case $(hex_at "$1" 0 8) in
    "") echo "an empty file" ;;
    d0cf11e0a1b11ae1) echo "an OLE compound file, as an .msi package is" ;;
    504b0304*) echo "a zip archive" ;;
    4d534346*) echo "a cabinet file" ;;
    2321*) echo "a script" ;;
    *) if [ -z "$(head -c 4096 "$1" | LC_ALL=C tr -d '\t\n\r -~')" ]; then
           echo "a text file, a script perhaps"
       else
           echo "a file of no program format (no MZ header)"
       fi ;;
    esac
}

machine_name() {
    case $1 in
    332) echo "a 32-bit x86 program" ;;
    34404) echo "an x64 program" ;;
    43620) echo "an ARM64 program" ;;
    452) echo "an ARM program" ;;
    512) echo "an Itanium program" ;;
    *) printf 'a program for machine 0x%04x\n' "$1" ;;
    esac
}

# VARIABLE FILE: refuses a payload that the system it is meant for cannot start. A 32-bit x86
# program runs on 64-bit Windows too, so PAYLOAD64 may be one: that is said, not refused.
check_program() {
    what="$1=$2:"
    [ "$(hex_at "$2" 0 2)" = 4d5a ] || fail "$what $(kind_of_file "$2"), not a Windows program"
    header=$(number_at "$2" 60 4)
    if [ -z "$header" ] || [ "$(hex_at "$2" "$header" 4)" != 50450000 ]; then
        fail "$what a DOS program or a damaged one (no PE header), not a Windows program"
    fi
    machine=$(number_at "$2" $((header + 4)) 2)
    flags=$(number_at "$2" $((header + 22)) 2)
    subsystem=$(number_at "$2" $((header + 92)) 2)
    [ $((flags & 0x2000)) -eq 0 ] || fail "$what a DLL, not a program"
    [ $((flags & 0x0002)) -ne 0 ] || fail "$what an image that is not executable, not a program"
    case $subsystem in
    2 | 3) ;;
    *) fail "$what an image for subsystem ${subsystem:-?} (a driver, EFI...), not a Windows program" ;;
    esac
    case $1:$machine in
    PAYLOAD32:332 | PAYLOAD64:34404) ;;
    PAYLOAD64:332) note="note: $what a 32-bit x86 program, which 64-bit Windows runs too, Windows 10 on ARM (no x64 program) among them" ;;
    PAYLOAD32:*) fail "$what $(machine_name "$machine"), which 32-bit Windows cannot start: PAYLOAD32 must be a 32-bit x86 program" ;;
    *) fail "$what $(machine_name "$machine"), which x64 Windows cannot start: PAYLOAD64 must be an x64 or a 32-bit x86 program" ;;
    esac
}

if [ $# -eq 2 ]; then
    note=""
    check_program PAYLOAD32 "$1"
    check_program PAYLOAD64 "$2"
    [ -z "$note" ] || echo "$note" >&2
    exit 0
fi

# NAME PATH: prints the pin's initializer; says on stderr what was pinned.
pin() {
    size=$({ wc -c <"$2"; } 2>/dev/null) || fail "cannot read the payload $2"
    digest=$({ sha256sum <"$2"; } 2>/dev/null) || fail "cannot read the payload $2"
    digest=${digest%% *}
    size=$((size + 0))
    echo "pinned $1: $size bytes, SHA-256 $digest ($2)" >&2
    printf '// %s: %s bytes, SHA-256 %s\n{%sull, {%s}},\n' "$1" "$size" "$digest" "$size" \
        "$(echo "$digest" | sed 's/../0x&, /g; s/, $//')"
}

mkdir -p "$(dirname "$3")"
part=$3.part.$$
trap 'rm -f "$part"' EXIT
trap 'exit 1' INT TERM HUP
{ pin VuqSetup.wzq "$1" && pin VuqSetup64.wzq "$2"; } >"$part"
cmp -s "$part" "$3" 2>/dev/null || mv "$part" "$3"
