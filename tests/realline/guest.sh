#!/usr/bin/env bash
# Boots Debian's kernel in a QEMU guest whose root is this machine's root,
# read-only over virtio-9p, and runs one script in it as root.
#
#   tests/realline/guest.sh --script FILE --out DIR [--timeout SECONDS] [--bind PATH]...
#
# DIR is shared writable at the same path; the script runs with /tmp and /run
# on tmpfs, devtmpfs, debugfs and configfs mounted, and the guest powers off
# when it ends. Its output goes to DIR/guest.log, its exit status to
# DIR/guest.rc, the guest's console to DIR/guest-console.log. The guest's
# tmpfs hides this machine's /tmp and /run: each --bind PATH under them (a
# checkout, a build folder) is shown there as it is here, read-only.
#
# KVM is tried first where /dev/kvm exists, with a deadline for the guest to
# reach its init (some hypervisors run no stock kernel: QEMU aborts or the
# guest never starts); otherwise, or after that, TCG. DIR/guest.accel says
# which ran. QEMU never outlives this script.
#
# Exit status: the script's; 3 only when no guest can start here at all
# (QEMU ended before the kernel printed anything, with every accelerator);
# 4 when the kernel started and did not reach the script (see the console
# log); 5 when the script ran past the time-out; 2 for a set-up that cannot
# work (a missing kernel, module, busybox or QEMU, a path the guest's
# command line cannot carry).
set -euo pipefail

script="" out="" limit=900 binds=()
while [ $# -gt 0 ]; do
    case "$1" in
    --script) script=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --bind) binds+=("$2"); shift 2 ;;
    *) echo "guest.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$script" ] && [ -n "$out" ] || { echo "usage: guest.sh --script FILE --out DIR [--timeout S] [--bind PATH]..." >&2; exit 2; }
fail() { echo "guest.sh: $*" >&2; exit 2; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
cp "$script" "$out/guest-script.sh"
script=$out/guest-script.sh
# The kernel's command line carries the paths: no blanks, no commas.
plain() { [[ "$1" =~ ^/[A-Za-z0-9._/+@=-]*$ ]] || fail "the path '$1' has characters the guest's command line cannot carry"; }
plain "$out"
bindList=""
for b in "${binds[@]}"; do
    b=$(cd "$b" && pwd) || fail "no folder $b to show in the guest"
    plain "$b"
    case "$b" in /tmp/* | /run/*) bindList+="${bindList:+,}$b" ;; esac
done
qemu=$(command -v qemu-system-x86_64) || fail "qemu-system-x86_64 is not installed (qemu-system-x86)"
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1 || true)
[ -n "$kernel" ] || fail "no kernel in /boot (Debian: linux-image-amd64)"
release=${kernel#/boot/vmlinuz-}
[ -d "/lib/modules/$release" ] || fail "no modules for $release in /lib/modules"
busybox=$(command -v busybox) || fail "busybox is not installed (busybox-static)"
# The busybox of busybox-static; a dynamic one cannot run from the initramfs.
if ldd "$busybox" >/dev/null 2>&1; then
    [ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 && busybox=/bin/busybox ||
        fail "$busybox is not static (busybox-static)"
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
mkdir -p "$root"/{bin,mod,newroot,hostroot,proc,sys,dev}
cp "$busybox" "$root/bin/busybox"
modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
         netfs fscache 9pnet 9pnet_virtio 9p)
for m in "${modules[@]}"; do
    if ! file=$(modinfo -n -k "$release" "$m" 2>/dev/null); then
        # Built into the kernel, or missing: only the list of built-in
        # modules tells.
        grep -q "/${m//_/[_-]}\.ko\$" "/lib/modules/$release/modules.builtin" ||
            fail "module $m not found for $release"
        continue
    fi
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
binds=$(arg realline.binds)
R=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000 hostroot $R
# This machine's /tmp and /run as they are, for the folders to show in the
# guest's own (bind mounts of the 9p root made before the tmpfs covers them).
mount --bind $R /hostroot
mount -t proc proc $R/proc
mount -t sysfs sys $R/sys
mount -t devtmpfs dev $R/dev
mkdir -p $R/dev/pts && mount -t devpts -o newinstance,ptmxmode=0666 devpts $R/dev/pts && ln -sf pts/ptmx $R/dev/ptmx
mount -t tmpfs -o size=75% tmp $R/tmp
mount -t tmpfs run $R/run
for b in $(echo "$binds" | tr , ' '); do
    mkdir -p $R$b && mount --bind /hostroot$b $R$b
done
mkdir -p $R$out 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out $R$out
echo booted >$R$out/guest.booted
mount -t debugfs debugfs $R/sys/kernel/debug
chroot $R /bin/sh -c "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root; \
    modprobe configfs; [ -d /sys/kernel/config ] && mount -t configfs configfs /sys/kernel/config; \
    cd $out && /bin/bash $script >$out/guest.log 2>&1; echo \$? >$out/guest.rc"
sync
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initramfs.gz")

rm -f "$out/guest.booted" "$out/guest.rc" "$out/guest.log" "$out/guest.accel"
# As root QEMU runs a little ahead of this machine's other work (the builds
# and tests beside it), so that the guest's timers keep their time.
ahead=()
[ "$(id -u)" -eq 0 ] && ahead=(nice -n -5)
boot() { # boot ACCEL: starts QEMU in the background
    # 4 GiB: a Wine prefix made in the guest lies on its tmpfs (1.3 GB).
    "${ahead[@]}" "$qemu" -accel "$1" -m 4096 -smp 1 -nographic -no-reboot -nic none \
        -kernel "$kernel" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 8250.nr_uarts=1 loglevel=6 panic=-1 realline.out=$out realline.script=$script realline.binds=$bindList" \
        -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
        -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
        -fsdev local,id=out,path="$out",security_model=none,multidevs=remap \
        -device virtio-9p-pci,fsdev=out,mount_tag=out \
        </dev/null >"$out/guest-console.log" 2>&1 &
    qemuPid=$!
}
# The kernel has started once it printed its banner.
kernelStarted() { grep -q 'Linux version' "$out/guest-console.log" 2>/dev/null; }
# Waits for QEMU until the guest has reached its init or seconds have passed
# (or, with a third argument, until then without the kernel's banner); 0 when
# it has, 1 when QEMU ended, 2 at a deadline.
reached() {
    local deadline=$((SECONDS + $1)) banner=$((SECONDS + ${2:-$1}))
    while [ $SECONDS -lt $deadline ]; do
        [ -f "$out/guest.booted" ] && return 0
        kill -0 "$qemuPid" 2>/dev/null || return 1
        [ $SECONDS -ge $banner ] && ! kernelStarted && return 2
        sleep 0.2
    done
    return 2
}
stopQemu() {
    kill -9 "$qemuPid" 2>/dev/null || true
    wait "$qemuPid" 2>/dev/null || true
    qemuPid=""
}
started=$SECONDS
accel=""
anyKernel=0
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    boot kvm
    # A kernel that runs under KVM prints its banner within a second or two.
    if reached 10 4; then
        accel=kvm
    else
        kernelStarted && anyKernel=1
        stopQemu
        echo "guest.sh: KVM did not start the guest (no kernel banner within 4 s or no init within 10 s); TCG instead" >&2
        cp "$out/guest-console.log" "$out/guest-console-kvm.log"
    fi
fi
if [ -z "$accel" ]; then
    started=$SECONDS
    boot tcg
    set +e
    reached 120
    how=$?
    set -e
    if [ $how -ne 0 ]; then
        kernelStarted && anyKernel=1
        stopQemu
        # QEMU's own complaint names the option it refused: one about the
        # accelerator means that none works here; any other is a set-up
        # that cannot work, and fails.
        complaint=$(grep -m1 "^${qemu##*/}: " "$out/guest-console.log" || true)
        if [ $how -eq 1 ] && [ $anyKernel -eq 0 ]; then
            case "$complaint" in
            "" | *accel* | *tcg* | *TCG* | *KVM* | *kvm*)
                echo "guest.sh: QEMU ended before the kernel started, with every accelerator (see $out/guest-console.log)" >&2
                exit 3 ;;
            *)
                echo "guest.sh: QEMU refused its set-up: $complaint" >&2
                exit 2 ;;
            esac
        fi
        if kernelStarted; then
            echo "guest.sh: the kernel started but the guest did not reach its init within 120 s (see $out/guest-console.log)" >&2
        else
            echo "guest.sh: the kernel printed nothing within 120 s (see $out/guest-console.log)" >&2
        fi
        exit 4
    fi
    accel=tcg
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
[ -f "$out/guest.rc" ] || { echo "guest.sh: the script left no exit status (see $out/guest-console.log)" >&2; exit 4; }
exit "$(cat "$out/guest.rc")"
