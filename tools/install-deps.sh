#!/bin/sh
# Installs what a fresh Debian machine lacks for building and testing the wrapper.
# Idempotent: does nothing (and needs no root) when everything is already there.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
need=""
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for pkg in cmake make g++ clang clang-format libclang-rt-14-dev googletest libgtest-dev \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine64 wine32:i386 \
    python3-pefile python3-pil qemu-system-x86 debootstrap e2fsprogs osslsigncode openssl; do
    have_pkg "$pkg" || need="$need $pkg"
done

if [ -n "$need" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "Missing packages:$need" >&2
        echo "Run as root: sh tools/install-deps.sh" >&2
        exit 1
    fi
    # wine32 lives in the i386 architecture; it runs 32-bit prefixes.
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need
fi

# Where this machine cannot execute 32-bit code, Wine runs in an emulated Debian system.
if ! sh "$here/wine-vm/can-run-32bit.sh"; then
    sh "$here/wine-vm/build-image.sh"
fi
