#!/bin/sh
# Makes this machine a receiver board behind a USB serial adapter, for the
# station PC plugged into its USB device port: loads the modules, mounts
# gadgetfs and serves the board (usb-board --front gadgetfs) until Ctrl-C or
# SIGTERM. Run as root.
#
#   setup-device.sh [--dummy] [--log FILE] [usb-board options...]
#
# --dummy   no device port: use dummy_hcd, so that this machine is the host
#           too (the station's program then finds the board on /dev/ttyACM0,
#           COM25, or with --chip on /dev/ttyUSB0, COM9) - a try-out of the
#           set-up
# --log     the event log (default /var/log/usb-board.jsonl)
# The rest goes to usb-board: --chip ftdi|ch340|cp2102|pl2303,
# --max-baud RATE, --stall-after N [--stall-ms M], --hold-after N
# [--hold-ms M], --unplug-after N --replug-ms M, --range ADDR:LEN,
# --capture FILE (the line as a logic analyzer records it, for station-judge).
#
# usb-board is taken from $USB_BOARD, else from PATH, else from a build
# folder of this checkout (build/ci first).
set -eu

log=/var/log/usb-board.jsonl
dummy=no
while [ $# -gt 0 ]; do
    case $1 in
    --dummy) dummy=yes; shift ;;
    --log) log=$2; shift 2 ;;
    *) break ;;
    esac
done

fail() {
    echo "setup-device: $*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || fail "run as root (modules, mounts and the USB device port need it)"

board=${USB_BOARD:-}
if [ -z "$board" ]; then
    board=$(command -v usb-board || true)
fi
if [ -z "$board" ]; then
    here=$(cd "$(dirname "$0")/../.." && pwd)
    for candidate in "$here"/build/ci/sim/usb/usb-board "$here"/build/*/sim/usb/usb-board; do
        if [ -z "$board" ] && [ -x "$candidate" ]; then
            board=$candidate
        fi
    done
fi
if [ -z "$board" ] || [ ! -x "$board" ]; then
    fail "no usb-board: build it (cmake --preset ci && cmake --build --preset ci --target usb-board) or set USB_BOARD"
fi

if [ "$dummy" = yes ]; then
    modprobe dummy_hcd || fail "no dummy_hcd module in this kernel"
    for driver in cdc-acm ftdi_sio ch341 cp210x pl2303; do
        modprobe $driver || true
    done
fi
modprobe gadgetfs || fail "no gadgetfs module in this kernel (CONFIG_USB_GADGETFS)"

# gadgetfs binds the first device controller that nothing else holds.
[ -n "$(ls /sys/class/udc 2>/dev/null)" ] ||
    fail "no USB device controller: load its driver (on many boards dwc2 with the port in peripheral mode)"
for udc in /sys/kernel/config/usb_gadget/*/UDC; do
    if [ -s "$udc" ] && [ -n "$(cat "$udc")" ]; then
        echo "setup-device: warning: $(dirname "$udc") holds $(cat "$udc")" >&2
    fi
done

dir=/dev/gadget
mkdir -p "$dir"
if ! grep -q " $dir gadgetfs " /proc/mounts; then
    mount -t gadgetfs gadgetfs "$dir" || fail "cannot mount gadgetfs on $dir"
fi

echo "setup-device: serving the board, log $log; Ctrl-C ends it" >&2
exec "$board" --front gadgetfs --gadgetfs "$dir" --log "$log" "$@"
