#!/usr/bin/env bash
# The real programs through a real serial driver: the kernel's cdc-acm, in a
# QEMU guest, against the board model behind the kernel's own USB ACM function
# on the dummy host controller (sim/usb, front end "acm"), with the line state
# and the rates read from usbmon on the same bus.
#
#   tests/realline/run.sh OUTDIR
#
# Builds what it needs when no build is there (build/ci, or the build named by
# UPDATER_REALLINE_BUILD), boots one guest and runs every case in it, leaves
# <run>.board.jsonl and <run>.console.txt per run in OUTDIR, judges each run
# (tests/realline/judge.cpp) and prints the table. Exit status 0 when every
# run passes; 3 when QEMU cannot start a guest at all (said loudly).
set -euo pipefail
cd "$(dirname "$0")/../.."
source=$(pwd)
out=${1:?usage: tests/realline/run.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${UPDATER_REALLINE_BUILD:-build/ci}
started=$SECONDS

tools/install-deps.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = build/ci ]; then cmake --preset ci >/dev/null; else cmake -S . -B "$build" >/dev/null; fi
fi
targets=(realline)
grep -q '^UPDATER_MINGW_CXX:FILEPATH=/' "$build/CMakeCache.txt" && targets+=(updater_windows_programs)
grep -q '^UPDATER_MINGW32_CXX:FILEPATH=/' "$build/CMakeCache.txt" && targets+=(updater_windows_programs_x86)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >"$out/build.log" 2>&1 ||
    { tail -30 "$out/build.log" >&2; exit 1; }
build=$(cd "$build" && pwd)
judge=$build/tests/realline/realline-judge
programs=(updater-qpsk1-ci-slave updater-ofdm1-ci-master updater-ofdm2 updater-ofdm1)
smallImage=$build/tests/realline/small-image/small_test_V0.00.01_0.00c.fl.out
imageOf() { # the image file that a program carries
    case "$1" in
    realline-small) echo "$smallImage" ;;
    *) local v=${1#updater-}; v=${v^^}; v=UPDATER_IMAGE_${v//-/_}
       sed -n "s/^$v:[A-Z]*=//p" "$build/CMakeCache.txt" ;;
    esac
}

# Wine: one prefix, made here by the Wine that the guest runs (the guest's
# root is this machine's), with COM25 on the guest's /dev/ttyACM0 and every
# other COM number on a folder, which Wine refuses to open as a port, so that
# its mount manager puts none of the guest's other devices on COM1..COM32.
wine=$(command -v wine || true)
winePrefix=$out/wine/prefix
wineBuilds=()
if [ -n "$wine" ] && [ -x "$build/tests/wine/windows/updater-qpsk1-ci-slave.exe" ]; then
    wineBuilds+=(wine64:$build/tests/wine/windows)
    if [ -x "$build/tests/wine/windows-x86/updater-qpsk1-ci-slave.exe" ] &&
        dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
        wineBuilds+=(wine32:$build/tests/wine/windows-x86)
    fi
    rm -rf "$out/wine"
    mkdir -p "$out/wine/ports" "$out/wine/no-port"
    export WINEPREFIX=$winePrefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for n in $(seq 1 32); do printf '"COM%d"="%s"\r\n' "$n" "$out/wine/ports/com$n"; done
    } >"$out/wine/ports.reg"
    timeout 300 "$wine" wineboot -i >"$out/wine/setup.log" 2>&1
    timeout 120 "$wine" regedit /S "$out/wine/ports.reg" >>"$out/wine/setup.log" 2>&1
    timeout 120 wineserver -w
    for n in $(seq 1 32); do
        if [ "$n" = 25 ]; then target=/dev/ttyACM0; else target=$out/wine/no-port; fi
        ln -sfn "$target" "$out/wine/ports/com$n"
        ln -sfn "$out/wine/ports/com$n" "$winePrefix/dosdevices/com$n"
    done
fi

# The cases, as the guest runs them: name, judge kind, board options,
# program (a path, or wine64:/wine32: and a path), image.
cases=()
for p in "${programs[@]}"; do
    cases+=("linux-$p|update||$build/$p|$(imageOf "$p")")
done
for w in "${wineBuilds[@]}"; do
    p=updater-qpsk1-ci-slave
    cases+=("${w%%:*}-$p|update||${w%%:*}:${w#*:}/$p.exe|$(imageOf "$p")")
done
small=$build/tests/realline/realline-small
cases+=("max38400|update|--max-baud 38400|$small|$smallImage")
cases+=("unplug|unplug|--unplug-after 3 --replug-ms 2000|$small|$smallImage")
cases+=("stall|stall|--stall-after 3|$small|$smallImage")
if [ ${#wineBuilds[@]} -gt 0 ]; then
    w=${wineBuilds[0]}
    cases+=("${w%%:*}-stall|stall|--stall-after 20|${w%%:*}:${w#*:}/updater-qpsk1-ci-slave.exe|$(imageOf updater-qpsk1-ci-slave)")
fi

script=$out/cases.sh
{
    cat <<EOF
set -u
out=$out
board=$build/sim/usb/usb-board
export WINEPREFIX=$winePrefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
EOF
    cat <<'EOF'
for m in dummy_hcd libcomposite usb_f_acm usbmon cdc-acm; do modprobe $m || echo "no module $m"; done
mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config
# The guest's console is COM1 of the program: held open here, as a getty
# holds a serial console, so that the scan skips it as another's.
exec 3<>/dev/ttyS0
now() { date +%s.%N; }
runCase() { # name, board options, program, ranges
    local name=$1 options=$2 program=$3 ranges=$4 status
    echo "== $name"
    rm -f "$out/$name".*
    # shellcheck disable=SC2086
    "$board" --front acm --log "$out/$name.board.jsonl" $ranges $options \
        >"$out/$name.board.out" 2>"$out/$name.board.err" &
    local pid=$! i
    for i in $(seq 1 300); do
        grep -q ready "$out/$name.board.out" 2>/dev/null && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    if ! grep -q ready "$out/$name.board.out" 2>/dev/null; then
        echo "the board did not come up"; cat "$out/$name.board.err"
        kill -9 $pid 2>/dev/null; echo 99 >"$out/$name.status"; echo 0 >"$out/$name.wall"
        return
    fi
    local start=$(now)
    case "$program" in
    wine64:* | wine32:*)
        # Wine maps a program's sections from its file, and from the guest's
        # 9p root it gets zeros (the program faults at its first data
        # access, or a 32-bit one ends silently): run a copy on tmpfs.
        local copy=/tmp/programs/$name
        mkdir -p "$copy" && cp "${program#wine??:}" "$copy/"
        printf n | timeout 600 wine "$copy/${program##*/}" >"$out/$name.console.txt" 2>&1 ;;
    *)
        printf n | timeout 300 "$program" >"$out/$name.console.txt" 2>&1 ;;
    esac
    status=$?
    echo "$status" >"$out/$name.status"
    echo "$(now) $start" | awk '{printf "%.3f\n", $1 - $2}' >"$out/$name.wall"
    kill -TERM $pid
    for i in $(seq 1 200); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -9 $pid 2>/dev/null
    wait $pid 2>/dev/null
    sleep 1 # the gadget's teardown reaches the host controller
    echo "exit $status after $(cat "$out/$name.wall") s"
}
EOF
    for c in "${cases[@]}"; do
        IFS='|' read -r name kind options program image <<<"$c"
        ranges=$("$judge" --ranges "$image")
        printf 'runCase %q %q %q %q\n' "$name" "$options" "$program" "$ranges"
    done
    echo 'command -v wineserver >/dev/null && wineserver -k 2>/dev/null; exit 0'
} >"$script"

echo "real-driver runs: ${#cases[@]} runs in one QEMU guest (output in $out)"
set +e
tests/realline/guest.sh --script "$script" --out "$out" --timeout 1500
guest=$?
set -e
if [ $guest -eq 3 ] || [ ! -f "$out/guest.accel" ]; then
    echo "real-driver runs: QEMU could not start a guest here: NOT RUN" >&2
    exit 3
fi
echo "guest: $(cat "$out/guest.accel"), log in $out/guest.log"

echo
echo "| run | result | reset pulses: n, ms | pulse end to next byte, ms | DTR+RTS up at open, ms | byte with RTS or DTR | rates with bytes | program s | bus span s | line-time floor s |"
echo "|---|---|---|---|---|---|---|---|---|---|"
failed=0
for c in "${cases[@]}"; do
    IFS='|' read -r name kind options program image <<<"$c"
    if [ ! -f "$out/$name.status" ] || [ ! -f "$out/$name.board.jsonl" ]; then
        echo "| $name | FAIL | not run | | | | | | | |"
        failed=1
        continue
    fi
    "$judge" --run "$name" --kind "$kind" --log "$out/$name.board.jsonl" \
        --console "$out/$name.console.txt" --status "$(cat "$out/$name.status")" \
        --wall "$(cat "$out/$name.wall")" --image "$image" || failed=1
done
[ $guest -eq 0 ] || { echo "the guest script ended with $guest" >&2; failed=1; }
echo
echo "real-driver runs: $((SECONDS - started)) s in all"
exit $failed
