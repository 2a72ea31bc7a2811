#!/usr/bin/env bash
# Builds the release presets and packs each with CPack, leaving in dist/
# exactly
#   updater-<version>-windows-x64.zip     (preset windows)
#   updater-<version>-windows-x86.zip     (preset windows-x86)
#   updater-<version>-linux-x86_64.tar.gz (preset release)
# Each unpacks to one folder updater-<version>-<system>/ with the four
# programs, OPERATOR-GUIDE.txt and SHA256SUMS (check with sha256sum -c inside
# that folder). The version is the one in project() of CMakeLists.txt.
#
# Usage: tools/package.sh [<output folder>]   (default: dist in the checkout)
# The output folder loses the packages of earlier runs, nothing else.
set -euo pipefail
shopt -s nullglob
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$(realpath -m -- "${1:-$root/dist}")
cd "$root"
tools/install-deps.sh --release
jobs=$(nproc)

packages=()
for preset in windows windows-x86 release; do
    echo "== $preset"
    build=build/$preset
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    rm -rf "$build/package"
    cpack --config "$build/CPackConfig.cmake" >/dev/null
    made=("$build"/package/updater-*.zip "$build"/package/updater-*.tar.gz)
    if [ ${#made[@]} -ne 1 ]; then
        echo "package: CPack made ${#made[@]} packages in $build/package, not one" >&2
        exit 1
    fi
    packages+=("${made[0]}")
done

# Packages of earlier runs go; nothing else in the folder is touched.
mkdir -p "$dist"
rm -f "$dist"/updater-*.zip "$dist"/updater-*.tar.gz
cp "${packages[@]}" "$dist"/
echo "== packages in $dist"
(cd "$dist" && ls -l && sha256sum -- *)
