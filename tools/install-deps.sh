#!/bin/sh
# Installs what a fresh Debian machine lacks for one kind of work, and nothing more.
#   install-deps.sh [build] [unit] [fuzz] [image] [sign] [wine] [vm] [nsis] [all]
#     build  cross-compiling dist/VuqSetup.exe (the default)
#     unit   the native unit tests, plain and under the sanitizers
#     fuzz   the libFuzzer harnesses
#     image  the checks of the built exe
#     sign   signing it (make sign, make attach)
#     wine   running the exe under Wine: this machine's own, or the test VM's where this
#            machine cannot execute 32-bit code (VUQ_WINE=host|vm|auto chooses, as for
#            tools/wine-run.sh)
#     vm     the test VM, whatever this machine can run
#     nsis   makensis, for the real installer the end-to-end tests use as a payload
# Idempotent: does nothing (and needs no root) when everything is already there.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

install_missing() {
    need=""
    for pkg in "$@"; do
        have_pkg "$pkg" || need="$need $pkg"
    done
    [ -n "$need" ] || return 0
    if [ "$(id -u)" != 0 ]; then
        echo "Missing packages:$need" >&2
        echo "Run as root: sh tools/install-deps.sh $wanted" >&2
        exit 1
    fi
    # wine32 lives in the i386 architecture; it runs 32-bit prefixes.
    case $need in *:i386*)
        dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
    esac
    apt-get update -q
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need
}

install_vm() {
    install_missing qemu-system-x86 debootstrap e2fsprogs
    sh "$here/wine-vm/build-image.sh"
}

wanted=${*:-build}
for part in $wanted; do
    case $part in
    build) install_missing cmake make g++-mingw-w64-i686-posix binutils-mingw-w64-i686 ;;
    unit) install_missing cmake make g++ googletest libgtest-dev clang-format ;;
    fuzz) install_missing cmake make clang libclang-rt-14-dev ;;
    image) install_missing python3 python3-pefile ;;
    sign) install_missing osslsigncode openssl ;;
    wine)
        install_missing python3 wine wine64 wine32:i386
        case ${VUQ_WINE:-auto} in
        vm) install_vm ;;
        auto) sh "$here/wine-vm/can-run-32bit.sh" || install_vm ;;
        esac
        ;;
    vm) install_vm ;;
    nsis) install_missing nsis ;;
    all) sh "$0" build unit fuzz image sign wine vm nsis ;;
    *)
        echo "install-deps: unknown part '$part' (build, unit, fuzz, image, sign, wine, vm, nsis, all)" >&2
        exit 2
        ;;
    esac
done
