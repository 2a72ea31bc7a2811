#!/usr/bin/env bash
# Builds the updater on the simulated board and runs one whole update in
# real time: the program of updater-qpsk1-ci-slave, its real dialogue and
# console, the board on COM3 behind a silent COM1 and an echoing COM2.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --no-windows
cmake --preset default >/dev/null
cmake --build --preset default --target updater-demo -j"$(nproc)" >/dev/null
exec build/default/demo/updater-demo
