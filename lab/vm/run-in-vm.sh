#!/bin/sh
# Runs JOB_DIR/job.sh inside the test VM (see build-image.sh) and exits with its status; shows
# what the job prints, from its first line "vuq-vm-job" to "vuq-vm-logs", lines "vuq-progress
# TEXT" as one line that rewrites itself. QEMU's whole console goes to
# build/logs/vm-console-NAME.log (NAME from JOB_DIR's folder), and the logs the job sends after
# "vuq-vm-logs" (see wine-run.sh) to build/logs/.
# The job folder travels as a tar on a read-only second disk; a third disk, kept between
# runs, holds the Wine prefixes, which take minutes to create under emulation.
set -eu

[ $# = 1 ] || { echo "usage: $0 JOB_DIR" >&2; exit 2; }
job=$(cd "$1" && pwd)
CACHE=${VUQ_VM_CACHE:-/var/cache/vuqsetup-vm}
HERE=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$(dirname "$HERE")")
logs=${VUQ_LOG_DIR:-$repo/build/logs}
command -v qemu-system-x86_64 >/dev/null ||
    { echo "test VM: qemu-system-x86_64 is missing: run 'sh tools/install-deps.sh vm' as root" >&2; exit 1; }
sh "$HERE/build-image.sh" ||
    { echo "test VM: its image could not be built (see above); run 'sh lab/vm/build-image.sh' as root" >&2; exit 1; }

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
mkdir -p "$logs"
name=$(dirname "$job")
name=$(printf '%s' "${name#"$repo/build/"}" | tr -c 'A-Za-z0-9._\n-' '-' | sed 's/^-*//')
console=$logs/vm-console-$name.log

# The job's lines; on a terminal, its progress lines as one line that rewrites itself.
show() {
    if [ -t 1 ]; then
        cols=$( (stty size </dev/tty) 2>/dev/null | cut -d' ' -f2)
        pending=""
        while IFS= read -r line; do
            case $line in
            "vuq-progress "*)
                printf '\r%.*s\033[K' "$((${cols:-80} - 1))" "${line#vuq-progress }"
                pending=yes
                ;;
            *)
                [ -z "$pending" ] || printf '\r\033[K'
                pending=""
                printf '%s\n' "$line"
                ;;
            esac
        done
    else
        cat
    fi
}
# Two emulated CPUs, one per host core, of the plain qemu64 model: Wine dies at its first
# Windows instruction on the richer "max" model. The root file system's changes are thrown away.
timeout "${VUQ_VM_TIMEOUT:-3000}" qemu-system-x86_64 -machine pc -accel tcg,thread=multi \
    -cpu "${VUQ_VM_CPU:-qemu64}" -smp 2 -m 4096 -nographic -no-reboot -monitor none -serial stdio \
    -kernel "$CACHE/vmlinuz" -initrd "$CACHE/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/vuq-init quiet" \
    -drive "file=$CACHE/rootfs.img,if=virtio,format=raw,snapshot=on" \
    -drive "file=$job.tar,if=virtio,format=raw,readonly=on" \
    -drive "file=$prefixes,if=virtio,format=raw" </dev/null | tee "$console" |
    sed -u -n '/^vuq-vm-job/,/^vuq-vm-\(logs\|status=\)/{/^vuq-vm-/d;/^\[ *[0-9.]*\]/d;s/\r$//;p}' |
    show || true
status=$(sed -n 's/^vuq-vm-status=\([0-9]*\).*/\1/p' "$console" | tail -n 1)
rm -f "$job.tar"
awk -v logs="$logs" '
    { sub(/\r$/, "") }
    /^vuq-vm-log [A-Za-z0-9._-]+$/ { file = logs "/" $2; printf "" >file; next }
    /^vuq-vm-status=/ { file = "" }
    file != "" && /^\|/ { print substr($0, 2) >file }' "$console"
if [ -z "$status" ]; then
    echo "test VM: it ended without running the job to its end; the last lines of its console," \
        "$console:" >&2
    tail -n 5 "$console" >&2
    exit 1
fi
exit "$status"
