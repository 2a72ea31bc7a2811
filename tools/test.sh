#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test (the board
# simulator on the virtual clock, the Linux program against board-sim on
# pseudo-terminals, the Windows programs under Wine), the real programs
# through the kernel's cdc-acm driver in a QEMU guest, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer; then clang-tidy, valgrind
# and a short fixed-seed fuzzing run; then the release: the Linux programs
# from plain CMake with Unix Makefiles, the packages, and their checks,
# among them that the programs built again for the packages are byte for
# byte the ones built and tested before.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

jobs=$(nproc)
# Most tests wait on real time (pseudo-terminals, Wine), not on the processor:
# twice as many side by side as there are cores.
tests=$((jobs * 2))
step() { echo; echo "== $1 ($(date +%T))"; }

step "formatting"
git ls-files '*.cpp' '*.h' | grep -v '^firmware/' | xargs clang-format --dry-run --Werror

step "build and test (warnings as errors)"
cmake --preset ci
cmake --build --preset ci -j"$jobs"
ctest --preset ci -j"$tests"

step "the real programs through a real serial driver (cdc-acm in a QEMU guest)"
# Exit 3: QEMU cannot start a guest on this machine at all; said loudly, and
# the only case that does not fail the run.
realline=0
UPDATER_REALLINE_BUILD=build/ci tests/realline/run.sh build/realline || realline=$?
if [ "$realline" -eq 3 ]; then
    echo "!! real-driver runs NOT RUN: QEMU cannot start a guest here !!" >&2
elif [ "$realline" -ne 0 ]; then
    exit "$realline"
fi

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

step "all passed"
