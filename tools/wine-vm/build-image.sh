#!/bin/sh
# Builds, once per machine, the small Debian system in which the Wine tests run. Some hosts
# (paravirtualised ones among them) cannot execute 32-bit x86 code at all, and the wrapper is
# a 32-bit program: there, Wine runs inside a full-system emulator instead. The image is
# cached outside the work tree; bump RECIPE when what goes into it changes.
set -eu

RECIPE=4
CACHE=${VUQ_VM_CACHE:-/var/cache/vuqsetup-vm}
HERE=$(cd "$(dirname "$0")" && pwd)
[ -f "$CACHE/ready-$RECIPE" ] && exit 0
[ "$(id -u)" = 0 ] || { echo "building the test VM needs root: sudo $0" >&2; exit 1; }

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

debootstrap --variant=minbase --include=ca-certificates bookworm "$root" "$mirror"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"

chroot "$root" dpkg --add-architecture i386
chroot "$root" apt-get update -q
# No kernel postinst hooks to worry about: the emulator boots the kernel and initrd directly.
DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -q --no-install-recommends \
    linux-image-amd64 initramfs-tools kmod udev python3 procps wine wine64 wine32:i386
chroot "$root" apt-get clean

install -m 0755 "$HERE/vm-init" "$root/sbin/vuq-init"
cleanup
trap - EXIT

cp "$root"/boot/vmlinuz-* "$CACHE/vmlinuz"
cp "$root"/boot/initrd.img-* "$CACHE/initrd.img"
rm -rf "$root/boot"/* "$root/var/cache/apt"/* "$root/var/lib/apt/lists"/*
mkfs.ext4 -q -F -L vuqroot -d "$root" "$CACHE/rootfs.img" 6G
rm -rf "$root"
touch "$CACHE/ready-$RECIPE"
