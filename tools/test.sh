#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test (the board
# simulator on the virtual clock, the Linux program against board-sim on
# pseudo-terminals, the Windows programs under Wine), the real programs
# through the kernel's serial drivers (cdc-acm and the USB serial chips'
# own) in a QEMU guest, then again under AddressSanitizer and
# UndefinedBehaviorSanitizer; then clang-tidy, valgrind and a short
# fixed-seed fuzzing run; then the release: the Linux programs from plain
# CMake with Unix Makefiles, the packages, and their checks, among them that
# the programs built again for the packages are byte for byte the ones built
# and tested before.
#
# The guest runs beside the steps after the first build: its runs wait on
# the emulated serial lines far more than on the processor. Where this
# machine executes no 32-bit code, the guest also runs the 32-bit Windows
# programs' Wine cases, and a guest that cannot start at all fails the run.
# Once it has ended, sigrok-cli decodes the line of three of its runs, which
# must be the board's log (tests/realline/check-wires.sh): about a minute on
# two processors; station-judge must pass two of its captures as a station's,
# and draws the guides' pictures from them (into build/pictures).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

jobs=$(nproc)
# Most tests wait on real time (pseudo-terminals, Wine), not on the processor:
# twice as many side by side as there are cores.
tests=$((jobs * 2))
started=$SECONDS
step() { echo; echo "== $1 ($(date +%T), $((SECONDS - started)) s)"; }

# Tried, not read from the kernel's configuration, which says yes also on
# machines that refuse 32-bit programs ("Exec format error").
if /usr/lib/wine/wine --version 2>/dev/null | grep -q '^wine-'; then
    x86Where=here
    echo "== this machine runs 32-bit code: the 32-bit Windows programs' Wine cases run here"
else
    x86Where=guest
    export UPDATER_WINE_X86_IN_GUEST=1
    echo "!! this machine runs no 32-bit code: the 32-bit Windows programs' Wine cases run" \
        "in the QEMU guest of the real-driver runs, not here !!"
fi

step "formatting"
git ls-files '*.cpp' '*.h' | grep -v '^firmware/' | xargs clang-format --dry-run --Werror

step "build (warnings as errors)"
cmake --preset ci
cmake --build --preset ci -j"$jobs"

step "the real programs through real serial drivers, in a QEMU guest (beside the next steps)"
# A process group of its own, so that a failed step ends QEMU with it.
realline=""
stopGuest() { [ -n "$realline" ] && kill -- "-$realline" 2>/dev/null; wait 2>/dev/null || true; }
trap stopGuest EXIT
UPDATER_REALLINE_BUILD=build/ci setsid tests/realline/run.sh build/realline \
    >build/realline.log 2>&1 </dev/null &
realline=$!
echo "started; its output goes to build/realline.log"

step "tests (warnings-as-errors build)"
ctest --preset ci -j"$tests"

step "build and test (address and undefined-behaviour sanitizers)"
cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
ctest --preset sanitize -j"$tests"

step "clang-tidy"
tools/check-tidy.sh build/ci

step "valgrind"
tools/check-valgrind.sh build/ci

step "fuzzing (short, fixed seed)"
cmake --preset fuzz
cmake --build --preset fuzz -j"$jobs"
ctest --preset fuzz

step "plain CMake (Unix Makefiles): the four Linux programs"
cmake -S . -B build/plain -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DUPDATER_TESTS=OFF
cmake --build build/plain -j"$jobs"

step "packages"
tools/package.sh build/dist

step "release checks: the packages; programs built twice, compared"
tests/release/check-release.sh build/dist \
    --same build/ci/tests/wine/windows build/windows \
    --same build/ci/tests/wine/windows-x86 build/windows-x86 \
    --same build/plain build/release

step "the real programs through real serial drivers: waiting for the guest"
status=0
wait "$realline" || status=$?
realline=""
cat build/realline.log
if [ "$status" -eq 3 ]; then
    if [ "$x86Where" = guest ]; then
        echo "!! QEMU cannot start a guest here, and this machine runs no 32-bit code: the" \
            "32-bit Windows programs' Wine cases ran nowhere !!" >&2
        exit 1
    fi
    echo "!! real-driver runs NOT RUN: QEMU cannot start a guest here !!" >&2
elif [ "$status" -ne 0 ]; then
    exit "$status"
else
    step "the line of three real-driver runs as sigrok decodes it, against the board's log"
    UPDATER_REALLINE_BUILD=build/ci tests/realline/check-wires.sh build/realline
    step "two real-driver runs' captures judged as a station's, and the guides' pictures drawn"
    # Through chips whose drains wait for their transmitter: the pauses on the
    # wire are the program's, not the emulated bus's (docs/developing.md).
    for run in ftdi-updater-qpsk1-ci-slave cp2102; do
        # pipefail: a verdict of FAIL ends the run here.
        build/ci/tools/station/station-judge "build/realline/$run.capture.vcd" |
            grep -E '^Verdict|FAIL' | sed "s/^/$run: /"
    done
    tools/draw-pictures.sh build/realline build/pictures
fi

step "all passed"
