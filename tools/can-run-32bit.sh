#!/bin/sh
# Succeeds when this machine executes 32-bit x86 programs, which Wine needs for a 32-bit exe.
# Paravirtualised hosts may lack 32-bit code segments altogether; binfmt emulation of them
# is not enough for Wine.
[ -x /usr/lib/wine/wine ] || exit 1
/usr/lib/wine/wine --version >/dev/null 2>&1 || exit 1
# The loader may start under a binfmt emulator registered for i386; only native counts.
! grep -qs '^interpreter' /proc/sys/fs/binfmt_misc/qemu-i386
