#!/usr/bin/env bash
# Checks what a release hands over: the packages of tools/package.sh, and
# programs that come out byte for byte the same from two builds.
#
# Usage: tests/release/check-release.sh <package folder> [--same <build A> <build B>]...
#
# Packages: the folder holds exactly updater-<version>-windows-x64.zip,
# updater-<version>-windows-x86.zip and updater-<version>-linux-<machine>.tar.gz,
# <version> from project() in CMakeLists.txt. Each unpacks to one folder of
# its own name that holds exactly the four programs, OPERATOR-GUIDE.txt and
# SHA256SUMS; SHA256SUMS names every other file and sha256sum -c passes in
# that folder; the guide fits a page, lists the programs and quotes the
# console texts as the programs' sources print them.
# --same A B: each of the four programs in build folder A (with or without
# .exe) has the same SHA-256 as in B.
#
# Unpacks into a temporary folder; writes nothing else.
set -euo pipefail
cd "$(dirname "$0")/../.."
dist=$(realpath "${1:?usage: tests/release/check-release.sh <package folder> [--same <A> <B>]...}")
shift

programs=(updater-qpsk1-ci-slave updater-ofdm1-ci-master updater-ofdm2 updater-ofdm1)
# Texts of the programs that the guide explains, each a piece of a format in
# the sources.
texts=("check COM" " OK" " failed" "reset device" " set speed to " " transfer: " " update:   "
       " done" " failed!" " error" "retry... (" "Retry update?"
       "Press 'y' to retry or any other key to exit:" "No device found!"
       "Convert file to use with progstand?" "Press 'y' to convert or any other key to exit:"
       "Convert to progstand format..." "Cannot write " "qpsk_" "exit now..."
       "{NoNop}" "{StepErr3}" "{StepErr4}" "{StepErr5}" "{StepErr6}" "{StepStuck}" "{InitErr")

failures=0
fail() {
    echo "check-release: FAILED: $*" >&2
    failures=$((failures + 1))
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# -- Packages -----------------------------------------------------------------

version=$(sed -n 's/^project(updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in project() of CMakeLists.txt"
expected=("updater-$version-linux-$(uname -m).tar.gz" "updater-$version-windows-x64.zip"
          "updater-$version-windows-x86.zip")
found=$(cd "$dist" && ls -A | sort)
[ "$found" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
    fail "$dist holds [$(echo $found)], not [${expected[*]}]"

for package in "${expected[@]}"; do
    [ -f "$dist/$package" ] || continue
    folder=${package%.zip}
    folder=${folder%.tar.gz}
    suffix=
    if [[ $package == *.zip ]]; then
        suffix=.exe
    fi
    mkdir "$work/$folder.unpacked"
    (cd "$work/$folder.unpacked" && cmake -E tar xf "$dist/$package")
    top=$(ls -A "$work/$folder.unpacked")
    [ "$top" = "$folder" ] || { fail "$package unpacks to [$(echo $top)], not $folder"; continue; }
    dir=$work/$folder.unpacked/$folder

    want=(OPERATOR-GUIDE.txt SHA256SUMS)
    for p in "${programs[@]}"; do want+=("$p$suffix"); done
    [ "$(ls -A "$dir" | sort)" = "$(printf '%s\n' "${want[@]}" | sort)" ] ||
        fail "$package holds [$(ls -A "$dir" | tr '\n' ' ')], not [${want[*]}]"
    [ "$(cut -c67- "$dir/SHA256SUMS" | sort)" = "$(ls -A "$dir" | grep -vx SHA256SUMS | sort)" ] ||
        fail "$package: SHA256SUMS does not name every other file"
    (cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "$package: SHA256SUMS does not verify"
    for p in "${programs[@]}"; do
        [ -n "$suffix" ] || [ -x "$dir/$p" ] || fail "$package: $p is not executable"
    done

    guide=$dir/OPERATOR-GUIDE.txt
    lines=$(wc -l <"$guide")
    [ "$lines" -le 66 ] || fail "$package: the guide has $lines lines, more than a page"
    if [ -n "$suffix" ]; then
        [ "$(grep -c $'\r$' "$guide")" -eq "$lines" ] || fail "$package: guide lines without CR LF"
    else
        ! grep -q $'\r' "$guide" || fail "$package: guide with CR"
    fi
    [ "$(awk '{ sub(/\r$/, "") } length > 79' "$guide")" = "" ] ||
        fail "$package: guide lines longer than 79 characters"
    for p in "${programs[@]}"; do
        grep -qF "$p$suffix" "$guide" || fail "$package: the guide does not name $p$suffix"
    done
    for text in "${texts[@]}"; do
        grep -qF -- "$text" "$guide" || fail "$package: the guide does not quote \"$text\""
    done
done

# The guide's quotes are what the programs print.
for text in "${texts[@]}"; do
    grep -rqF -- "$text" app serial target image || fail "no source prints \"$text\""
done

# -- Programs built twice -------------------------------------------------------

while [ $# -gt 0 ]; do
    [ "$1" = "--same" ] && [ $# -ge 3 ] || { echo "check-release: bad arguments: $*" >&2; exit 2; }
    a=$2 b=$3
    shift 3
    for p in "${programs[@]}"; do
        for name in "$p" "$p.exe"; do
            [ -f "$a/$name" ] || continue
            if [ ! -f "$b/$name" ]; then
                fail "$b/$name is missing"
            elif [ "$(sha256sum <"$a/$name")" != "$(sha256sum <"$b/$name")" ]; then
                fail "$a/$name and $b/$name differ"
            else
                echo "same: $(sha256sum <"$a/$name" | cut -c1-64)  $name  ($a, $b)"
            fi
            continue 2
        done
        fail "$a/$p is missing"
    done
done

if [ $failures -gt 0 ]; then
    echo "check-release: $failures failures" >&2
    exit 1
fi
echo "check-release: packages and programs as released"
