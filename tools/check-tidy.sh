#!/usr/bin/env bash
# clang-tidy over the product code with the checks of .clang-tidy; any
# finding fails. Usage: tools/check-tidy.sh <build dir with compile_commands.json>
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tools/check-tidy.sh <build dir>}
if [[ ! -f "$build/compile_commands.json" ]]; then
    echo "check-tidy: no compile_commands.json in $build (configure it first)" >&2
    exit 2
fi
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
files=$(ls app/*.cpp target/*.cpp serial/*.cpp image/*.cpp platform/*.cpp platform/posix/*.cpp)
echo "check-tidy: $(echo "$files" | wc -l) files with $tidy"
# The generated image sources and the tests are not product code; the
# database is only used for the flags of the files named here, one entry each.
cmake -DBUILD="$build" -DOUT="$build/tidy" -P tools/tidy-database.cmake
echo "$files" | xargs -P "$(nproc)" -n 1 "$tidy" -p "$build/tidy" --quiet 2>/dev/null \
    >"$build/clang-tidy.log" || {
    grep -E 'warning:|error:' -A3 "$build/clang-tidy.log" >&2 || cat "$build/clang-tidy.log" >&2
    echo "check-tidy: findings above" >&2
    exit 1
}
echo "check-tidy: clean"
