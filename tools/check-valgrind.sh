#!/usr/bin/env bash
# valgrind memcheck over one whole update on the virtual clock: the first-try
# update of updater-qpsk1-ci-slave against the board simulator, from the scan
# to "exit now...". Any memory error or leak fails. About 5 s.
# Usage: tools/check-valgrind.sh <build dir without sanitizers>
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tools/check-valgrind.sh <build dir>}
if grep -q '^UPDATER_SANITIZE:STRING=.\+' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "check-valgrind: $build is a sanitizer build; valgrind needs a plain one" >&2
    exit 2
fi
cmake --build "$build" --target app_success_qpsk1cislave
run() {
    echo "check-valgrind: $*"
    valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
        --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
        --track-origins=yes --quiet "$@"
}
run "$build/tests/app/app_success_qpsk1cislave"
echo "check-valgrind: no errors, no leaks"
