#!/usr/bin/env bash
# The line of real-driver runs as sigrok decodes it: each run's capture
# (OUTDIR/<run>.capture.vcd, drawn by usb-board) held against the board's
# event log (OUTDIR/<run>.board.jsonl) by realline-wirecheck, which decodes
# every stretch of one rate with sigrok-cli's UART decoder at that rate.
#
#   tests/realline/check-wires.sh OUTDIR [RUN]...
#
# OUTDIR is what tests/realline/run.sh left. Without RUN: a whole update at
# 256000 through cdc-acm and through the FT232R, and the ladder of a board
# whose UART stops at 38400. As many runs side by side as there are
# processors: the decoder spends processor time, not waits. Each run's
# verdict goes to OUTDIR/<run>.wires.txt and here. Uses realline-wirecheck of
# the build (build/ci, or the one named by UPDATER_REALLINE_BUILD) and
# sigrok-cli (tools/install-deps.sh). Exit status 0 when every byte sigrok
# decodes is the log's, where the log puts it, and none of the log's is
# missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${1:?usage: tests/realline/check-wires.sh OUTDIR [RUN]...}
shift
runs=("$@")
[ ${#runs[@]} -gt 0 ] ||
    runs=(linux-updater-qpsk1-ci-slave ftdi-updater-qpsk1-ci-slave max38400)
build=${UPDATER_REALLINE_BUILD:-build/ci}
check=$build/tests/realline/realline-wirecheck
fail() { echo "check-wires: $*" >&2; exit 1; }
[ -x "$check" ] || fail "no $check (cmake --build --preset ci --target realline-wirecheck)"
command -v sigrok-cli >/dev/null || fail "no sigrok-cli (tools/install-deps.sh installs it)"
for r in "${runs[@]}"; do
    for f in "$out/$r.capture.vcd" "$out/$r.board.jsonl"; do
        [ -f "$f" ] || fail "no $f: did the run $r run?"
    done
done

started=$SECONDS
jobs=$(nproc)
running=0 failed=0
for r in "${runs[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    "$check" --capture "$out/$r.capture.vcd" --log "$out/$r.board.jsonl" --run "$r" \
        >"$out/$r.wires.txt" 2>&1 &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
for r in "${runs[@]}"; do
    cat "$out/$r.wires.txt"
done
echo "check-wires: ${#runs[@]} runs in $((SECONDS - started)) s"
exit $failed
