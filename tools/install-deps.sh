#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when they
# are missing. As root it runs apt-get; otherwise it names what is missing.
# With --no-windows it leaves out mingw-w64 and Wine (the demo needs neither);
# with --release it installs only what the release builds and their packages
# need (tools/package.sh).
set -euo pipefail

# Build, tests, sanitizers, fuzzing, static and memory checks.
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev binutils clang-format clang-tidy valgrind)
# The Windows programs (64-bit and 32-bit) and their tests under Wine.
# Installed with the packages they recommend, as Wine was tried here.
windows=(mingw-w64 wine wine64)
case "${1:-}" in
--no-windows) windows=() ;;
--release) packages=(cmake ninja-build g++) windows=(mingw-w64) ;;
esac

missingOf() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}
mapfile -t missing < <(missingOf "${packages[@]}")
mapfile -t missingWindows < <(missingOf "${windows[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missingWindows[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]} ${missingWindows[*]}" >&2
    echo "Install them as root:  apt-get install -y ${missing[*]} ${missingWindows[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
if [ ${#missingWindows[@]} -gt 0 ]; then
    echo "Installing: ${missingWindows[*]}"
    apt-get install -y -qq "${missingWindows[@]}" </dev/null
fi
