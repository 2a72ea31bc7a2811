#!/usr/bin/env bash
# The real programs through a real serial driver, in a QEMU guest: the kernel's
# cdc-acm against the board model behind the kernel's own USB ACM function on
# the dummy host controller (sim/usb, front end "acm"), with the line state
# and the rates read from usbmon on the same bus.
#
#   tests/realline/run.sh OUTDIR
#
# Builds what it needs when no build is there (build/ci, or the build named by
# UPDATER_REALLINE_BUILD, any folder), boots one guest and runs every case in
# it, leaves <run>.board.jsonl, <run>.capture.vcd (the line as usb-board
# drew it, which tests/realline/check-wires.sh decodes) and <run>.console.txt
# per run in OUTDIR, judges each run (tests/realline/judge.cpp) and prints the
# table. Works from a checkout and a build in any folder, /tmp included.
#
# UPDATER_REALLINE_CASES=REGEX runs only the cases whose names match REGEX
# (an extended regular expression, as bash's =~ takes it), for work on a few
# of them: e.g. 'stall' for the stalls, '^(ftdi|cp2102)-' for two chips.
# The 32-bit programs' Wine cases are then left out, and Wine is not set up
# unless a chosen case runs under it.
#
# Where this machine executes no 32-bit code, the guest, whose processor QEMU
# emulates, also runs the Wine cases of the 32-bit Windows programs
# (tests/wine, as ctest runs them elsewhere) and makes the Wine prefix of the
# runs here; otherwise this machine makes it.
#
# Exit status 0 when every run passes; 3 only when QEMU cannot start a guest
# on this machine at all (said loudly); anything else is a failure with its
# reason: a build output that is missing, a kernel that does not reach the
# guest's init, a module that does not load, a board that does not come up, a
# run that the judge fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
source=$(pwd)
out=${1:?usage: tests/realline/run.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${UPDATER_REALLINE_BUILD:-build/ci}
started=$SECONDS
fail() { echo "real-driver runs: $*" >&2; exit 1; }
# The guest's command line and its script carry the folder as it is.
[[ "$out" =~ ^/[A-Za-z0-9._/+@=-]*$ ]] || fail "the folder '$out' has characters the guest cannot take"

tools/install-deps.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = build/ci ]; then cmake --preset ci >/dev/null; else cmake -S . -B "$build" >/dev/null; fi
fi
targets=(realline)
grep -q '^UPDATER_MINGW_CXX:FILEPATH=/' "$build/CMakeCache.txt" && targets+=(updater_windows_programs)
grep -q '^UPDATER_MINGW32_CXX:FILEPATH=/' "$build/CMakeCache.txt" && targets+=(updater_windows_programs_x86 wine_tests)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >"$out/build.log" 2>&1 ||
    { tail -30 "$out/build.log" >&2; fail "the build failed (see $out/build.log)"; }
build=$(cd "$build" && pwd)
judge=$build/tests/realline/realline-judge
board=$build/sim/usb/usb-board
programs=(updater-qpsk1-ci-slave updater-ofdm1-ci-master updater-ofdm2 updater-ofdm1)
smallImage=$build/tests/realline/small-image/small_test_V0.00.01_0.00c.fl.out
imageOf() { # the image file that a program carries
    case "$1" in
    realline-small) echo "$smallImage" ;;
    *) local v=${1#updater-}; v=${v^^}; v=UPDATER_IMAGE_${v//-/_}
       sed -n "s/^$v:[A-Z]*=//p" "$build/CMakeCache.txt" ;;
    esac
}

# Whether this machine executes 32-bit code: tried with Wine's 32-bit loader,
# not read from the kernel's configuration (which says yes on machines that
# refuse it, "Exec format error").
wine=$(command -v wine || true)
runs32=no
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version 2>/dev/null | grep -q '^wine-'; then
    runs32=yes
fi
x64Dir=$build/tests/wine/windows
x86Dir=$build/tests/wine/windows-x86
wineBuilds=()
if [ -n "$wine" ] && [ -x "$x64Dir/updater-qpsk1-ci-slave.exe" ]; then
    wineBuilds+=("wine64:$x64Dir")
    if [ -x "$x86Dir/updater-qpsk1-ci-slave.exe" ] &&
        dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
        wineBuilds+=("wine32:$x86Dir")
    fi
fi
# The 32-bit programs' Wine cases, where this machine cannot run them.
wineTests=$build/tests/wine/wine_tests
wineX86Filter='Builds/UnderWine.*/x86'
wineX86Cases=0
if [ "$runs32" = no ] && [[ " ${wineBuilds[*]} " == *" wine32:"* ]]; then
    [ -x "$wineTests" ] || fail "no $wineTests to run the 32-bit programs' Wine cases"
    wineX86Cases=$("$wineTests" --gtest_list_tests --gtest_filter="$wineX86Filter" |
        grep '^  ' | grep -vc '^  DISABLED_' || true)
    [ "$wineX86Cases" -gt 0 ] || fail "$wineTests lists no 32-bit Wine cases"
    echo "real-driver runs: this machine runs no 32-bit code; the guest runs the 32-bit programs' $wineX86Cases Wine cases"
fi

# The cases, as the guest runs them: name, judge kind, front (acm, gadgetfs,
# or a chip of the gadgetfs front: ftdi, ch340, cp2102, pl2303), board
# options, program (a path, or wine64:/wine32: and a path), image. The
# modem-class fronts are /dev/ttyACM0 (COM25) to the programs, the chips
# /dev/ttyUSB0 (COM9).
small=$build/tests/realline/realline-small
qpsk1=updater-qpsk1-ci-slave
wine64=${wineBuilds[0]:-}
wine32=
for w in "${wineBuilds[@]}"; do [ "${w%%:*}" = wine32 ] && wine32=$w; done
cases=("linux-$qpsk1|update|acm||$build/$qpsk1|$(imageOf "$qpsk1")")
[ -n "$wine64" ] && cases+=("wine64-$qpsk1|update|acm||wine64:${wine64#*:}/$qpsk1.exe|$(imageOf "$qpsk1")")
cases+=("max38400|update|acm|--max-baud 38400|$small|$smallImage")
cases+=("unplug|unplug|acm|--unplug-after 3 --replug-ms 2000|$small|$smallImage")
# A line that stops taking bytes: front gadgetfs answers bulk OUT with NAK
# from the stall on (the kernel's ACM function would take another 10 KiB).
cases+=("stall|stall|gadgetfs|--stall-after 20|$build/$qpsk1|$(imageOf "$qpsk1")")
[ -n "$wine64" ] && cases+=("wine64-stall|stall|gadgetfs|--stall-after 20|wine64:${wine64#*:}/$qpsk1.exe|$(imageOf "$qpsk1")")
[ -n "$wine32" ] && cases+=("wine32-stall|stall|gadgetfs|--stall-after 20|wine32:${wine32#*:}/$qpsk1.exe|$(imageOf "$qpsk1")")
cases+=("stall-3s|passing|gadgetfs|--max-baud 38400 --stall-after 3 --stall-ms 3000|$small|$smallImage")
# SIGTERM 5 s after the stall (the scan and the ladder take about 3.5 s):
# the clean end closes the port within 1 s all the same.
cases+=("stall-sigterm|term|gadgetfs|--stall-after 3|$small|$smallImage")
termMs=8500
# A stall must end within stallBound seconds of the board's stall, with the
# attempts' texts, the retry prompt and "exit now...", and the program's end
# (the close) within 1 s of that text. The program's own waits: the block on
# its way when the line stopped has its drain's deadline, 1 ms a byte plus
# 500 ms (1.53 s), then its 10 ms pause and 60 ms reply window; each of the
# four attempts left resets the board (250 ms), and its first exchange
# fails: the drain before it waits out what the driver still holds (500 ms),
# the write's 9 bytes and the drain after them their deadline (509 ms), the
# 20 ms pause and the 60 ms reply window; then the 2 s pause of a failed
# connect. 1.62 s + 4 x 3.34 s = 15.0 s; the other 5 s are the emulated
# processor's, the drivers' and Wine's.
stallBound=20
# The USB serial chips behind their own drivers.
for chip in ftdi ch340 cp2102 pl2303; do
    cases+=("$chip|update|$chip||$small|$smallImage")
    cases+=("$chip-stall|stall|$chip|--stall-after 3|$small|$smallImage")
done
cases+=("ftdi-$qpsk1|update|ftdi||$build/$qpsk1|$(imageOf "$qpsk1")")
[ -n "$wine64" ] && cases+=("wine64-ftdi-$qpsk1|update|ftdi||wine64:${wine64#*:}/$qpsk1.exe|$(imageOf "$qpsk1")")
# A chip that takes the bytes and sends none of them, its transmitter held:
# the host's queue stays empty, and only the chip's answer to its driver
# (ftdi_sio: TEMT in the line status; cp210x: the comm status's transmit
# queue) tells the drain and the close that the bytes are not out. A stall's
# bounds: each drain waits on the chip's answer until its deadline, as on a
# line that takes no bytes.
for chip in ftdi cp2102; do
    cases+=("$chip-held|stall|$chip|--hold-after 3|$small|$smallImage")
done
[ -n "$wine64" ] && cases+=("wine64-ftdi-held|stall|ftdi|--hold-after 20|wine64:${wine64#*:}/$qpsk1.exe|$(imageOf "$qpsk1")")

if [ -n "${UPDATER_REALLINE_CASES:-}" ]; then
    chosen=()
    for c in "${cases[@]}"; do
        [[ "${c%%|*}" =~ $UPDATER_REALLINE_CASES ]] && chosen+=("$c")
    done
    [ ${#chosen[@]} -gt 0 ] || fail "no case's name matches UPDATER_REALLINE_CASES='$UPDATER_REALLINE_CASES'"
    cases=("${chosen[@]}")
    [[ " ${cases[*]} " == *"|wine"??":"* ]] || wineBuilds=()
    if [ "$wineX86Cases" -gt 0 ]; then
        echo "real-driver runs: the cases chosen by UPDATER_REALLINE_CASES only; the 32-bit programs' Wine cases are left out"
        wineX86Cases=0
    fi
fi

# Wine's prefix for the runs: COM1..COM32 lead to links in a ports folder,
# each case points its port's link at the guest's device and every other one
# at a folder, which Wine refuses to open as a port, so that its mount manager
# puts none of the guest's other devices on COM1..COM32. Made here, by the
# Wine that the guest runs (the guest's root is this machine's), where this
# machine runs 32-bit code; otherwise in the guest, where the 32-bit programs'
# cases made one already.
winePrefixScript() { # prefix ports noPort: the commands that make it
    cat <<EOF
mkdir -p '$2' '$3'
{
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\\\Software\\\\Wine\\\\Ports]\r\n'
    for n in \$(seq 1 32); do printf '"COM%d"="%s"\r\n' "\$n" '$2'/com\$n; done
} >'$2/../ports.reg'
WINEPREFIX='$1' timeout 300 wine wineboot -i >'$out/wine-setup.log' 2>&1 &&
    WINEPREFIX='$1' timeout 120 wine regedit /S '$2/../ports.reg' >>'$out/wine-setup.log' 2>&1 &&
    WINEPREFIX='$1' timeout 120 wineserver -w || exit 1
for n in \$(seq 1 32); do
    ln -sfn '$3' '$2'/com\$n
    ln -sfn '$2'/com\$n '$1'/dosdevices/com\$n
done
EOF
}
if [ ${#wineBuilds[@]} -gt 0 ]; then
    if [ "$runs32" = yes ]; then
        winePrefix=$out/wine/prefix winePorts=$out/wine/ports wineNoPort=$out/wine/no-port
        rm -rf "$out/wine"
        mkdir -p "$out/wine"
        (
            export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
            unset DISPLAY WAYLAND_DISPLAY
            eval "$(winePrefixScript "$winePrefix" "$winePorts" "$wineNoPort")"
        ) || fail "Wine could not make its prefix (see $out/wine-setup.log)"
    else
        winePrefix=/tmp/wine-tests/x86/prefix winePorts=/tmp/wine-tests/x86/ports
        wineNoPort=/tmp/wine-tests/x86/no-port
    fi
fi

# Every build output the guest needs, before it boots.
for f in "$judge" "$board"; do [ -x "$f" ] || fail "no $f (the build did not make it)"; done
for c in "${cases[@]}"; do
    IFS='|' read -r name kind front options program image <<<"$c"
    [ -x "${program#wine??:}" ] || fail "no program ${program#wine??:} for the run $name"
    [ -f "$image" ] || fail "no image $image for the run $name"
done

script=$out/cases.sh
{
    cat <<EOF
set -u
out=$out
board=$board
judge=$judge
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
winePrefix=${winePrefix:-} winePorts=${winePorts:-} wineNoPort=${wineNoPort:-}
EOF
    cat <<'EOF'
for m in dummy_hcd libcomposite usb_f_acm usbmon cdc-acm gadgetfs usbserial ftdi_sio ch341 \
    cp210x pl2303; do
    modprobe $m || { echo "the module $m does not load"; exit 10; }
done
mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config
# The guest's console is COM1 of the program: held open here, as a getty
# holds a serial console, so that the scan skips it as another's.
exec 3<>/dev/ttyS0
now() { date +%s.%N; }
# Wine's server started as a server of its own, which stays (Debian's
# wineserver starts it with -p0, and every program would start Wine anew),
# once the one that may still run has ended.
wineServerStays() {
    local server=/usr/lib/wine/wineserver64
    [ -x $server ] || server=wineserver
    WINEPREFIX=$1 timeout 120 wineserver -w
    WINEPREFIX=$1 $server -p
}
runCase() { # name, front, board options, program, ranges, seconds allowed[, SIGTERM after ms]
    local name=$1 front=$2 options=$3 program=$4 ranges=$5 limit=$6 status device=/dev/ttyACM0 com=25
    local stamp=(--stamp "$out/$name.console.txt")
    [ -n "${7:-}" ] && stamp+=(--term-ms "$7")
    local how=(--front "$front")
    case "$front" in
    acm | gadgetfs) ;;
    *) how=(--front gadgetfs --chip "$front") device=/dev/ttyUSB0 com=9 ;;
    esac
    echo "== $name"
    rm -f "$out/$name".*
    # shellcheck disable=SC2086
    "$board" "${how[@]}" --log "$out/$name.board.jsonl" --capture "$out/$name.capture.vcd" \
        $ranges $options \
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
        local copy=/tmp/programs/$name n
        mkdir -p "$copy" && cp "${program#wine??:}" "$copy/"
        for n in $(seq 1 32); do ln -sfn "$wineNoPort" "$winePorts/com$n"; done
        ln -sfn $device "$winePorts/com$com"
        printf n | WINEPREFIX=$winePrefix "$judge" "${stamp[@]}" -- \
            timeout "$limit" wine "$copy/${program##*/}" ;;
    *)
        # timeout passes a SIGTERM on to the program and ends as it ended.
        printf n | "$judge" "${stamp[@]}" -- timeout "$limit" "$program" ;;
    esac
    status=${PIPESTATUS[1]}
    echo "$status" >"$out/$name.status"
    echo "$(now) $start" | awk '{printf "%.3f\n", $1 - $2}' >"$out/$name.wall"
    # The board writes its capture as it ends: 6 to 14 s on the emulated
    # processor for a whole update's 39 MB, more beside a busy host.
    local term=$(now)
    kill -TERM $pid
    for i in $(seq 1 600); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -9 $pid 2>/dev/null
    wait $pid 2>/dev/null
    local ended=$(echo "$(now) $term" | awk '{printf "%.1f", $1 - $2}')
    sleep 1 # the gadget's teardown reaches the host controller
    echo "exit $status after $(cat "$out/$name.wall") s; the board ended $ended s after SIGTERM"
}
EOF
    # Wine's start (its services and device manager) costs half a minute on
    # the guest's emulated processor whenever its server starts afresh: one
    # server stays for all the runs in the prefix, once the prefix is made.
    if [ "$wineX86Cases" -gt 0 ]; then
        cat <<EOF
echo "== the 32-bit programs' Wine cases"
export UPDATER_WINE_WORK_DIR=/tmp/wine-tests
'$wineTests' --gtest_filter='Builds/UnderWine.DeclinesTheConversionOnAnyOtherKey/x86' \\
    >'$out/wine-x86-cases.log' 2>&1
first=\$?
[ -f '$winePrefix/system.reg' ] && wineServerStays '$winePrefix'
'$wineTests' --gtest_filter='$wineX86Filter:-Builds/UnderWine.DeclinesTheConversionOnAnyOtherKey/x86' \\
    >>'$out/wine-x86-cases.log' 2>&1
echo "exit \$first and \$? (log in $out/wine-x86-cases.log)"
WINEPREFIX='$winePrefix' wineserver -k 2>/dev/null
EOF
    fi
    if [ ${#wineBuilds[@]} -gt 0 ] && [ "$runs32" = no ]; then
        # Made by the 32-bit programs' cases; made here when they did not run.
        echo "[ -f '$winePrefix/system.reg' ] || {"
        winePrefixScript "$winePrefix" "$winePorts" "$wineNoPort"
        echo "}"
    fi
    if [ ${#wineBuilds[@]} -gt 0 ]; then
        echo "wineServerStays '$winePrefix'"
        # Wine's own processes started now, not by a program whose output
        # they would keep open.
        echo "WINEPREFIX='$winePrefix' wine cmd /c exit </dev/null >/dev/null 2>&1"
    fi
    for c in "${cases[@]}"; do
        IFS='|' read -r name kind front options program image <<<"$c"
        ranges=$("$judge" --ranges "$image") || fail "cannot read the image $image"
        term=
        [ "$kind" = term ] && term=$termMs
        limit=300
        [[ "$program" == wine* ]] && limit=600
        # A stall's run that passes has ended within its bounds (below) and
        # Wine's start; one that hangs is ended long before the guest's
        # time-out.
        [ "$kind" = stall ] && limit=240
        printf 'runCase %q %q %q %q %q %q %q\n' "$name" "$front" "$options" "$program" "$ranges" \
            "$limit" "$term"
    done
    [ ${#wineBuilds[@]} -gt 0 ] && echo "WINEPREFIX='$winePrefix' wineserver -k 2>/dev/null"
    echo 'exit 0'
} >"$script"

echo "real-driver runs: ${#cases[@]} runs in one QEMU guest (output in $out)"
# Nothing of an earlier run may be judged as this one's.
rm -f "$out"/*.status "$out"/*.wall "$out"/*.board.* "$out"/*.capture.vcd "$out"/*.console.txt* \
    "$out/guest.accel" "$out/wine-x86-cases.log"
set +e
tests/realline/guest.sh --script "$script" --out "$out" --timeout 1800 --bind "$source" --bind "$build"
guest=$?
set -e
if [ $guest -eq 3 ] && [ ! -f "$out/guest.accel" ]; then
    echo "real-driver runs: QEMU cannot start a guest on this machine: NOT RUN" >&2
    exit 3
fi
[ -f "$out/guest.accel" ] || fail "the guest did not come up (guest.sh ended with $guest)"
echo "guest: $(cat "$out/guest.accel"), log in $out/guest.log"
failed=0
if [ "$guest" -eq 10 ]; then
    echo "real-driver runs: $(tail -1 "$out/guest.log")" >&2
    failed=1
elif [ "$guest" -ne 0 ]; then
    echo "real-driver runs: the guest's script ended with $guest (see $out/guest.log)" >&2
    failed=1
fi

if [ "$wineX86Cases" -gt 0 ]; then
    # Every one of them ran and passed: none skipped, none failed.
    log=$out/wine-x86-cases.log
    passed=$(grep -c '^\[       OK \] Builds/UnderWine\..*/x86 ' "$log" 2>/dev/null || true)
    if [ "$passed" -eq "$wineX86Cases" ] && ! grep -q '^\[  \(FAILED\|SKIPPED\) \]' "$log"; then
        echo "the 32-bit programs' Wine cases: $wineX86Cases of $wineX86Cases passed in the guest"
    else
        echo "the 32-bit programs' Wine cases FAILED in the guest:" >&2
        grep -E '^\[ *(OK|FAILED|SKIPPED|PASSED) *\]|Failure' "$log" >&2 || echo "(no results in $log)" >&2
        failed=1
    fi
fi

echo
echo "| run | result | reset pulses: n, ms | pulse end to next byte, ms | DTR+RTS up at open, ms | byte with RTS or DTR | rates with bytes | program s | bus span s | line-time floor s |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for c in "${cases[@]}"; do
    IFS='|' read -r name kind front options program image <<<"$c"
    if [ ! -f "$out/$name.status" ] || [ ! -f "$out/$name.board.jsonl" ]; then
        echo "| $name | FAIL | not run | | | | | | | |"
        failed=1
        continue
    fi
    if [ "$(cat "$out/$name.status")" = 99 ]; then
        echo "| $name | FAIL | the board did not come up: $(head -c 200 "$out/$name.board.err" | tr '\n' ' ') | | | | | | | |"
        failed=1
        continue
    fi
    bounds=()
    if [ "$kind" = stall ]; then
        # Under Wine the last close of the terminal is Wine's, and the
        # driver makes it wait its closing wait (30 s) for the transfers
        # that the stopped line holds, or for a held chip to say that it
        # has sent; no Windows call reaches that. Wine's own end takes up to
        # 2 s more on the emulated processor, more beside a busy host.
        case "$program" in
        wine*) bounds=(--bound "$stallBound" --close-ms 40000) ;;
        *) bounds=(--bound "$stallBound" --close-ms 1000) ;;
        esac
    fi
    [ "$kind" = term ] && bounds=(--close-ms 1000)
    "$judge" --run "$name" --kind "$kind" --log "$out/$name.board.jsonl" \
        --console "$out/$name.console.txt" --status "$(cat "$out/$name.status")" \
        --wall "$(cat "$out/$name.wall")" --image "$image" "${bounds[@]}" || failed=1
done
echo
echo "real-driver runs: $((SECONDS - started)) s in all"
exit $failed
