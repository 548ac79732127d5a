#!/bin/sh
# Records what a pinned build of VuqSetup.exe may start: the size and SHA-256 of each payload.
#   pin-payloads.sh PAYLOAD32 PAYLOAD64          checks only: both or neither, each readable
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
[ $# -eq 3 ] || exit 0

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
