#!/usr/bin/env bash
# Makes this machine refuse 32-bit x86 programs as some hosts do, whose
# hypervisor executes no 32-bit code ("Exec format error"), so that the test
# command's other road can be tried on a machine that runs them:
#
#   tools/refuse-32bit.sh on    # i386 programs fail to start, as there
#   tools/test.sh               # the 32-bit Windows programs' Wine cases run in the guest
#   tools/refuse-32bit.sh off   # back to normal
#
# As root. A binfmt_misc entry takes every i386 ELF program (executable or
# position-independent) and hands it to an interpreter that is no program
# at all, so that the kernel answers ENOEXEC, as those hosts do. It changes
# this machine's kernel until "off" or a reboot, not the QEMU guest's.
set -euo pipefail
fs=/proc/sys/fs/binfmt_misc
name=updater-refuse-32bit
refuser=/run/$name
case "${1:-}" in
on)
    mountpoint -q $fs || mount -t binfmt_misc binfmt_misc $fs
    printf 'no program\n' >$refuser
    chmod 755 $refuser
    if [ -e "$fs/$name" ]; then
        echo 1 >"$fs/$name"
    else
        # ELF, 32-bit, little-endian, version 1; e_type 2 or 3; e_machine 3.
        printf ':%s:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\xfe\\xff\\xff\\xff:%s:' \
            "$name" "$refuser" >$fs/register
    fi
    ;;
off)
    [ -e "$fs/$name" ] && echo -1 >"$fs/$name"
    rm -f $refuser
    ;;
*)
    echo "usage: tools/refuse-32bit.sh on|off" >&2
    exit 2
    ;;
esac
if /usr/lib/wine/wine --version >/dev/null 2>&1 || { [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; }; then
    echo "32-bit programs start on this machine"
else
    echo "32-bit programs do not start on this machine"
fi
