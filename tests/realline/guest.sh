#!/usr/bin/env bash
# Boots Debian's kernel in a QEMU guest whose root is this machine's root,
# read-only over virtio-9p, and runs one script in it as root.
#
#   tests/realline/guest.sh --script FILE --out DIR [--timeout SECONDS]
#
# DIR is shared writable at the same path; the script runs with /tmp and /run
# on tmpfs, devtmpfs, debugfs and configfs mounted, and the guest powers off
# when it ends. Its output goes to DIR/guest.log, its exit status to
# DIR/guest.rc, the guest's console to DIR/guest-console.log.
#
# KVM is tried first where /dev/kvm exists, with a deadline for the guest to
# reach its init (some hypervisors run no stock kernel: QEMU aborts or the
# guest never starts); otherwise, or after that, TCG. DIR/guest.accel says
# which ran. QEMU never outlives this script.
set -euo pipefail

script="" out="" limit=900
while [ $# -gt 0 ]; do
    case "$1" in
    --script) script=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    *) echo "guest.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$script" ] && [ -n "$out" ] || { echo "usage: guest.sh --script FILE --out DIR [--timeout S]" >&2; exit 2; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
cp "$script" "$out/guest-script.sh"
script=$out/guest-script.sh
qemu=$(command -v qemu-system-x86_64) || { echo "guest.sh: qemu-system-x86_64 is not installed" >&2; exit 3; }
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1)
[ -n "$kernel" ] || { echo "guest.sh: no kernel in /boot (Debian: linux-image-amd64)" >&2; exit 3; }
release=${kernel#/boot/vmlinuz-}
busybox=$(command -v busybox) || { echo "guest.sh: busybox is not installed (busybox-static)" >&2; exit 3; }
# The busybox of busybox-static; a dynamic one cannot run from the initramfs.
if ldd "$busybox" >/dev/null 2>&1; then
    [ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 && busybox=/bin/busybox ||
        { echo "guest.sh: $busybox is not static (busybox-static)" >&2; exit 3; }
fi

# The initramfs: busybox, the modules that reach the host root, an init.
work=$(mktemp -d)
qemuPid=""
cleanup() {
    if [ -n "$qemuPid" ]; then kill -9 "$qemuPid" 2>/dev/null || true; wait "$qemuPid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
root=$work/initramfs
mkdir -p "$root"/{bin,mod,newroot,proc,sys,dev}
cp "$busybox" "$root/bin/busybox"
modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
         netfs fscache 9pnet 9pnet_virtio 9p)
for m in "${modules[@]}"; do
    file=$(modinfo -n -k "$release" "$m" 2>/dev/null) || continue # built in
    [ "$file" = "(builtin)" ] && continue
    cp "$file" "$root/mod/$m.ko"
    case "$file" in *.xz) mv "$root/mod/$m.ko" "$root/mod/$m.ko.xz"; xz -d "$root/mod/$m.ko.xz" ;; esac
done
cat >"$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p; do
    [ -f /mod/$m.ko ] && insmod /mod/$m.ko
done
arg() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" /proc/cmdline; }
out=$(arg realline.out)
script=$(arg realline.script)
R=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000 hostroot $R
mount -t proc proc $R/proc
mount -t sysfs sys $R/sys
mount -t devtmpfs dev $R/dev
mount -t devpts devpts $R/dev/pts 2>/dev/null
mount -t tmpfs tmp $R/tmp
mount -t tmpfs run $R/run
mkdir -p $R$out 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out $R$out
echo booted >$R$out/guest.booted
mount -t debugfs debugfs $R/sys/kernel/debug
chroot $R /bin/sh -c "modprobe configfs; [ -d /sys/kernel/config ] && mount -t configfs configfs /sys/kernel/config; \
    cd $out && PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    /bin/bash $script >$out/guest.log 2>&1; echo \$? >$out/guest.rc"
sync
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initramfs.gz")

rm -f "$out/guest.booted" "$out/guest.rc" "$out/guest.log"
boot() { # boot ACCEL: starts QEMU in the background
    "$qemu" -accel "$1" -m 1536 -smp 1 -nographic -no-reboot \
        -kernel "$kernel" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 8250.nr_uarts=1 quiet panic=-1 realline.out=$out realline.script=$script" \
        -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
        -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
        -fsdev local,id=out,path="$out",security_model=none,multidevs=remap \
        -device virtio-9p-pci,fsdev=out,mount_tag=out \
        </dev/null >"$out/guest-console.log" 2>&1 &
    qemuPid=$!
}
# Waits for QEMU until the guest has reached its init or seconds have passed;
# 0 when it has.
reached() {
    local deadline=$((SECONDS + $1))
    while [ $SECONDS -lt $deadline ]; do
        [ -f "$out/guest.booted" ] && return 0
        kill -0 "$qemuPid" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}
started=$SECONDS
accel=tcg
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    boot kvm
    if reached 10; then
        accel=kvm
    else
        kill -9 "$qemuPid" 2>/dev/null || true
        wait "$qemuPid" 2>/dev/null || true
        qemuPid=""
        echo "guest.sh: KVM did not start the guest within 10 s; TCG instead" >&2
    fi
fi
if [ "$accel" = tcg ]; then
    started=$SECONDS
    boot tcg
    reached 120 || { echo "guest.sh: the guest did not reach its init (see $out/guest-console.log)" >&2; exit 4; }
fi
echo "$accel" >"$out/guest.accel"
echo "guest.sh: guest up with $accel after $((SECONDS - started)) s" >&2
deadline=$((SECONDS + limit))
while kill -0 "$qemuPid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    sleep 0.5
done
if kill -0 "$qemuPid" 2>/dev/null; then
    echo "guest.sh: the guest ran past $limit s; stopped" >&2
    exit 5
fi
wait "$qemuPid" 2>/dev/null || true
qemuPid=""
[ -f "$out/guest.rc" ] || { echo "guest.sh: the script left no exit status" >&2; exit 4; }
exit "$(cat "$out/guest.rc")"
