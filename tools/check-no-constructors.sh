#!/bin/sh
# Fails when an object of the wrapper has a dynamic initializer. The wrapper has no C runtime,
# so nothing would run one: the object would link without complaint and stay uninitialised.
#   check-no-constructors.sh OBJDUMP OBJECT...
set -eu
objdump=$1
shift
# A constructor shows as a _GLOBAL__sub_I_ function, and as an entry in .ctors or .init_array.
found=$("$objdump" -h -t "$@" | awk '
    /^[^ ]+: +file format/ { object = $1; sub(/:$/, "", object) }
    $2 ~ /^\.(ctors|init_array)/ && $3 != "00000000" { print object ": " $2 }
    /^\[/ && $NF ~ /^_+GLOBAL__sub_I_/ { print object ": " $NF }')
if [ -n "$found" ]; then
    echo "error: dynamic initializers in the wrapper, which has no C runtime to run them:" >&2
    echo "$found" | sed 's/^/  /' >&2
    exit 1
fi
