#!/bin/sh
# Builds, once per machine, the small Debian system in which the Wine tests run. Some hosts
# (paravirtualised ones among them) cannot execute 32-bit x86 code at all, and the wrapper is
# a 32-bit program: there, Wine runs inside a full-system emulator instead. The image is
# cached outside the work tree; bump RECIPE when what goes into it changes.
#   build-image.sh           builds it unless it is there, as one line of set-up with the output
#                            of debootstrap and apt-get in build/logs/vm-image.log (tools/stage.sh)
#   build-image.sh --ready   only tells: succeeds when it is there
#   build-image.sh --when-needed
#                            builds it only where Wine runs in the VM: VUQ_WINE=vm, or auto on
#                            a machine that cannot execute 32-bit x86 code
set -eu

RECIPE=4
CACHE=${VUQ_VM_CACHE:-/var/cache/vuqsetup-vm}
HERE=$(cd "$(dirname "$0")" && pwd)
tools=$(dirname "$(dirname "$HERE")")/tools
[ -f "$CACHE/ready-$RECIPE" ] && exit 0
[ "${1:-}" != --ready ] || exit 1
if [ "${1:-}" = --when-needed ]; then
    case ${VUQ_WINE:-auto} in
    host) exit 0 ;;
    auto) if sh "$tools/can-run-32bit.sh"; then exit 0; fi ;;
    esac
fi
[ "$(id -u)" = 0 ] || { echo "building the test VM needs root: sudo $0" >&2; exit 1; }
if [ "${1:-}" != --now ]; then
    : "${VUQ_LOG_DIR:=$(dirname "$(dirname "$HERE")")/build/logs}"
    . "$tools/stage.sh"
    stage vm-image "building the test VM image" "2-5 min, once per machine" sh "$0" --now
    exit
fi

# The same Debian archive this machine installs from.
mirror=$(sed -n 's/^URIs: *\([^ ]*\/debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ { print $2; exit }' /etc/apt/sources.list)
[ -n "$mirror" ] || { echo "no Debian archive found in the apt sources" >&2; exit 1; }

root=$CACHE/rootfs
cleanup() {
    for m in dev/pts dev proc sys; do umount "$root/$m" 2>/dev/null || true; done
}
trap cleanup EXIT
cleanup
rm -rf "$root" "$CACHE"/ready-* "$CACHE/rootfs.img"
mkdir -p "$root"

echo "== debootstrap"
debootstrap --variant=minbase --include=ca-certificates bookworm "$root" "$mirror" || {
    echo "debootstrap failed; the end of its own log:"
    tail -n 15 "$root/debootstrap/debootstrap.log"
    exit 1
}
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"

echo "== reading the image's package lists"
chroot "$root" dpkg --add-architecture i386
chroot "$root" apt-get update -q
# No kernel postinst hooks to worry about: the emulator boots the kernel and initrd directly.
echo "== installing the kernel and Wine into the image"
DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -q --no-install-recommends \
    linux-image-amd64 initramfs-tools kmod udev python3 procps wine wine64 wine32:i386
chroot "$root" apt-get clean

install -m 0755 "$HERE/vm-init" "$root/sbin/vuq-init"
cleanup
trap - EXIT

echo "== writing the disk image"
cp "$root"/boot/vmlinuz-* "$CACHE/vmlinuz"
cp "$root"/boot/initrd.img-* "$CACHE/initrd.img"
rm -rf "${root:?}/boot"/* "$root/var/cache/apt"/* "$root/var/lib/apt/lists"/*
mkfs.ext4 -q -F -L vuqroot -d "$root" "$CACHE/rootfs.img" 6G
rm -rf "$root"
touch "$CACHE/ready-$RECIPE"
