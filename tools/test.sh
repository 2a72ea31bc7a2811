#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test, then again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

jobs=$(nproc)
echo "== formatting"
git ls-files '*.cpp' '*.h' | grep -v '^firmware/' | xargs clang-format --dry-run --Werror

echo "== build and test (warnings as errors)"
cmake --preset ci
cmake --build --preset ci -j"$jobs"
ctest --preset ci -j"$jobs"

echo "== build and test (address and undefined-behaviour sanitizers)"
cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
ctest --preset sanitize -j"$jobs"
