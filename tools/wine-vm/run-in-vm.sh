#!/bin/sh
# Runs JOB_DIR/job.sh inside the test VM (see build-image.sh) and exits with its status; shows
# what the job prints, from its first line "vuq-vm-job" on.
# The job folder travels as a tar on a read-only second disk; a third disk, kept between
# runs, holds the Wine prefixes, which take minutes to create under emulation.
set -eu

[ $# = 1 ] || { echo "usage: $0 JOB_DIR" >&2; exit 2; }
job=$(cd "$1" && pwd)
CACHE=${VUQ_VM_CACHE:-/var/cache/vuqsetup-vm}
HERE=$(cd "$(dirname "$0")" && pwd)
command -v qemu-system-x86_64 >/dev/null ||
    { echo "test VM: qemu-system-x86_64 is missing: run 'sh tools/install-deps.sh vm' as root" >&2; exit 1; }
sh "$HERE/build-image.sh" ||
    { echo "test VM: its image could not be built (see above); run 'sh tools/wine-vm/build-image.sh' as root" >&2; exit 1; }

prefixes=${VUQ_VM_PREFIXES:-$CACHE/prefixes.img}
# One VM at a time on a prefix disk: two would corrupt its file system.
exec 9>"$prefixes.lock"
flock 9
if [ ! -f "$prefixes" ]; then
    truncate -s 4G "$prefixes.new"
    mkfs.ext4 -q -F -L vuqprefixes "$prefixes.new"
    mv "$prefixes.new" "$prefixes"
fi

tar -C "$job" -cf "$job.tar" .
console="$job.console"
# Two emulated CPUs, one per host core, of the plain qemu64 model: Wine dies at its first
# Windows instruction on the richer "max" model. The root file system's changes are thrown away.
timeout "${VUQ_VM_TIMEOUT:-3000}" qemu-system-x86_64 -machine pc -accel tcg,thread=multi \
    -cpu "${VUQ_VM_CPU:-qemu64}" -smp 2 -m 4096 -nographic -no-reboot -monitor none -serial stdio \
    -kernel "$CACHE/vmlinuz" -initrd "$CACHE/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/vuq-init quiet" \
    -drive "file=$CACHE/rootfs.img,if=virtio,format=raw,snapshot=on" \
    -drive "file=$job.tar,if=virtio,format=raw,readonly=on" \
    -drive "file=$prefixes,if=virtio,format=raw" </dev/null | tee "$console" |
    sed -u -n '/^vuq-vm-job/,/^vuq-vm-status=/{/^vuq-vm-/d;/^\[ *[0-9.]*\]/d;s/\r$//;p}' || true
status=$(sed -n 's/^vuq-vm-status=\([0-9]*\).*/\1/p' "$console" | tail -n 1)
rm -f "$job.tar"
if [ -z "$status" ]; then
    echo "test VM: it ended without running the job to its end; the last lines of its console:" >&2
    tail -n 5 "$console" >&2
    exit 1
fi
exit "$status"
