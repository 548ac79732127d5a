#!/bin/sh
# Installs what a fresh Debian machine lacks for one kind of work, and nothing more.
#   install-deps.sh [build] [unit] [fuzz] [image] [sign] [release] [pkcs11] [token] [trace] [wine]
#                   [vm] [nsis] [all]
#     build  cross-compiling dist/VuqSetup.exe (the default)
#     unit   the fast checks: the native unit tests, plain and under the sanitizers, and the
#            linters, the workflow validator among them (from the npm registry)
#     fuzz   the libFuzzer harnesses
#     image  the checks of the built exe
#     sign   signing it (make sign, make attach)
#     release  laying out a release and its zip (make release)
#     pkcs11 signing with a key on a token (a PKCS#11 variable given to make sign or make
#            release): Python, which checks the key and signs through the token's module,
#            and OpenSSL's PKCS#11 engine, with which openssl asks for the key's certificate
#     token  a software token to sign with: SoftHSM2, and OpenSC's pkcs11-tool to make keys in
#            it (the example in docs/SIGNING.md, the signing tests)
#     trace  strace, with which the signing tests see every command a signing run starts
#     wine   running the exe under Wine: this machine's own, or the test VM's where this
#            machine cannot execute 32-bit code (VUQ_WINE=host|vm|auto chooses, as for
#            lab/wine-run.sh)
#     vm     QEMU for the test VM, whatever this machine can run
#     nsis   makensis, for the real installer the end-to-end tests use as a payload
# Idempotent: does nothing (and needs no root) when everything is already there.
# In up to four stages, each one line with its output in build/logs/ (tools/stage.sh; VERBOSE=1
# shows it all): the build tools (whatever of build..sign is asked for, and VUQ_EXTRA_PACKAGES,
# with which the tests make it fail), the workflow validator, Wine, and QEMU for the test VM.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
: "${VUQ_LOG_DIR:=$(dirname "$here")/build/logs}"
. "$here/stage.sh"
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing() {
    for pkg in "$@"; do
        have_pkg "$pkg" || printf ' %s' "$pkg"
    done
}

# The parts below name what they need; it is installed after, in one stage.
tools=""
install_missing() { tools="$tools$(missing "$@")"; }

need_root() {
    [ "$(id -u)" != 0 ] || return 0
    echo "Missing$1" >&2
    echo "Run as root: sh tools/install-deps.sh $wanted" >&2
    exit 1
}

# Runs inside a stage: what apt-get and debconf say goes to the stage's log.
apt_install() {
    # wine32 lives in the i386 architecture; it runs 32-bit prefixes.
    case " $* " in *:i386*)
        dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
    esac
    echo "== apt-get update"
    apt-get update -q
    echo "== apt-get install $*"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}

# The VM's image itself is the lab's to build (lab/vm/build-image.sh), once these are here.
install_vm() {
    need=$(missing qemu-system-x86 debootstrap e2fsprogs)
    [ -n "$need" ] || return 0
    need_root " packages:$need"
    stage qemu "installing QEMU" "about 1 min" apt_install $need
}

# The validator of .github/workflows, at the versions its lock file pins, in a folder of its own
# with its command on the PATH; made anew only when the lock file changed.
VALIDATOR=/opt/vuqsetup/workflow-validator
npm_install_validator() {
    rm -rf "$VALIDATOR.new"
    mkdir -p "$VALIDATOR.new"
    cp "$here/workflow-validator/package.json" "$here/workflow-validator/package-lock.json" \
        "$VALIDATOR.new"
    (cd "$VALIDATOR.new" && npm ci --no-audit --no-fund)
    rm -rf "$VALIDATOR"
    mv "$VALIDATOR.new" "$VALIDATOR"
    ln -sf "$VALIDATOR/node_modules/.bin/action-validator" /usr/local/bin/action-validator
}
install_validator() {
    if cmp -s "$here/workflow-validator/package-lock.json" "$VALIDATOR/package-lock.json" &&
        command -v action-validator >/dev/null; then
        return 0
    fi
    need_root " the workflow validator (npm: @action-validator/cli)"
    stage workflow-validator "installing the workflow validator" "under 1 min" npm_install_validator
}

wanted=${*:-build}
wine=""
vm=""
validator=""
for part in $wanted; do
    case $part in
    build) install_missing cmake make g++-mingw-w64-i686-posix binutils-mingw-w64-i686 ;;
    unit)
        install_missing cmake make g++ googletest libgtest-dev clang-format shellcheck pyflakes3 git
        # Node.js from wherever the machine has it; Debian's where it has none.
        command -v npm >/dev/null || install_missing nodejs npm
        validator=yes
        ;;
    fuzz) install_missing cmake make clang libclang-rt-14-dev ;;
    image) install_missing python3 python3-pefile ;;
    sign) install_missing osslsigncode openssl ;;
    release) install_missing python3 ;;
    pkcs11) install_missing libengine-pkcs11-openssl python3 ;;
    token) install_missing softhsm2 opensc ;;
    trace) install_missing strace ;;
    wine) wine=yes ;;
    vm) vm=yes ;;
    nsis) install_missing nsis ;;
    all) sh "$0" build unit fuzz image sign release pkcs11 token trace wine vm nsis ;;
    *)
        echo "install-deps: unknown part '$part' (build, unit, fuzz, image, sign, release, pkcs11, token, trace, wine, vm, nsis, all)" >&2
        exit 2
        ;;
    esac
done

install_missing ${VUQ_EXTRA_PACKAGES:-}
tools=$(printf '%s\n' $tools | sed '/^$/d' | sort -u | tr '\n' ' ')
if [ -n "$tools" ]; then
    need_root " packages: $tools"
    usual="about 1 min"
    case " $tools " in *" clang "* | *" g++ "*) usual="1-3 min" ;; esac
    stage build-tools "installing the build tools" "$usual" apt_install $tools
fi
[ -z "$validator" ] || install_validator
if [ -n "$wine" ]; then
    need=$(missing python3 wine wine64 wine32:i386)
    if [ -n "$need" ]; then
        need_root " packages:$need"
            stage wine "installing Wine" "about 1 min" apt_install $need
    fi
    case ${VUQ_WINE:-auto} in
    vm) vm=yes ;;
    auto) sh "$here/can-run-32bit.sh" || vm=yes ;;
    esac
fi
[ -z "$vm" ] || install_vm
