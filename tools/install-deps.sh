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
# The Windows programs (64-bit and 32-bit) and their tests under Wine, the
# 32-bit programs through Wine's i386 part (another architecture for dpkg).
# Installed with the packages they recommend, as Wine was tried here.
windows=(mingw-w64 wine wine64 wine32:i386)
# The runs through a real serial driver: a QEMU guest of Debian's kernel with
# a static busybox in its initramfs (tests/realline), and sigrok-cli, whose
# UART decoder reads their captures (tests/realline/check-wires.sh).
guest=(qemu-system-x86 linux-image-amd64 busybox-static sigrok-cli)
case "${1:-}" in
--no-windows) windows=() guest=() ;;
--release) packages=(cmake ninja-build g++) windows=(mingw-w64) guest=() ;;
esac

missingOf() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}
mapfile -t missing < <(missingOf "${packages[@]}")
mapfile -t missingWindows < <(missingOf "${windows[@]}")
mapfile -t missingGuest < <(missingOf "${guest[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missingWindows[@]} -eq 0 ] && [ ${#missingGuest[@]} -eq 0 ] &&
    exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]} ${missingWindows[*]} ${missingGuest[*]}" >&2
    if [[ " ${missingWindows[*]} " == *":i386 "* ]]; then
        echo "The i386 ones need the architecture first:  dpkg --add-architecture i386" >&2
    fi
    echo "Install them as root:  apt-get update && apt-get install -y ${missing[*]}" \
        "${missingWindows[*]} ${missingGuest[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missingWindows[*]} " == *":i386 "* ]] &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture (Wine's 32-bit part)"
    dpkg --add-architecture i386
fi
apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
if [ ${#missingWindows[@]} -gt 0 ]; then
    echo "Installing: ${missingWindows[*]}"
    apt-get install -y -qq "${missingWindows[@]}" </dev/null
fi
if [ ${#missingGuest[@]} -gt 0 ]; then
    echo "Installing: ${missingGuest[*]}"
    # The guest boots the kernel with an initramfs of its own
    # (tests/realline/guest.sh): the package's would take a minute to make
    # and serve nothing.
    INITRD=No apt-get install -y -qq --no-install-recommends "${missingGuest[@]}" </dev/null
fi
