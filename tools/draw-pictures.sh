#!/usr/bin/env bash
# The pictures of the line in the station engineer's guide, drawn by
# station-judge from the captures that a run of the real-driver runs left
# (tests/realline/run.sh OUTDIR):
#
#   tools/draw-pictures.sh OUTDIR [FOLDER]
#
# FOLDER is docs/pictures unless given. reset.svg and rates.svg come from the
# whole update through the FT232R (ftdi-updater-qpsk1-ci-slave), stall.svg
# from the line that stops taking bytes after block 20 (stall). Uses the
# station-judge of the build (build/ci, or the one named by
# UPDATER_REALLINE_BUILD).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: tools/draw-pictures.sh OUTDIR [FOLDER]}
dest=${2:-docs/pictures}
judge=${UPDATER_REALLINE_BUILD:-build/ci}/tools/station/station-judge
[ -x "$judge" ] || { echo "draw-pictures: no $judge" >&2; exit 1; }
mkdir -p "$dest"
# The verdict does not matter to a picture (a stall fails); unusable input does.
draw() {
    local status=0
    "$judge" "$@" >/dev/null || status=$?
    [ "$status" -le 1 ] || { echo "draw-pictures: station-judge $* ended with $status" >&2; exit 1; }
}
draw --svg-reset "$dest/reset.svg" --svg-rates "$dest/rates.svg" \
    "$out/ftdi-updater-qpsk1-ci-slave.capture.vcd"
draw --svg-activity "$dest/stall.svg" "$out/stall.capture.vcd"
echo "draw-pictures: $dest/reset.svg, rates.svg, stall.svg"
