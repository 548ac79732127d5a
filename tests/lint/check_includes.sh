#!/bin/sh
# Fails on an include that points up or sideways: each folder of src/ may include only its own
# files and those of the folders after it in this order.
#   check_includes.sh SRC_DIR
set -eu
order="entry launch cleanup platform text"
cd "$1"
rank() {
    r=0
    for folder in $order; do
        [ "$folder" = "$1" ] && { echo "$r"; return; }
        r=$((r + 1))
    done
    echo none
}
bad=0
for file in */*; do
    own=$(rank "${file%%/*}")
    # Every quoted include names its folder; the folder decides whether it may be reached.
    targets=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    while IFS= read -r target; do
        [ -n "$target" ] || continue
        theirs=$(rank "${target%%/*}")
        case "$target" in */*) ;; *) theirs=none ;; esac
        if [ "$own" = none ] || [ "$theirs" = none ] || [ "$theirs" -lt "$own" ]; then
            echo "$file includes \"$target\": includes may only point down ($order)"
            bad=1
        fi
    done <<EOF
$targets
EOF
done
[ "$bad" = 0 ] && echo "every include points down ($order)"
exit "$bad"
