#!/usr/bin/env bash
# Makes the release: builds both presets (x86 first, so that the package holds both
# externals), then the two zips in one CPack run of the x64 build, and prints each zip's path
# and SHA-256. Installs what is missing first, as scripts/test.sh does. The build's output
# goes to build/release.log.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/wine-base-prefix.sh

log=$PWD/build/release.log
: > "$log"
version=$(sed -n 's/^project(prismlux VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zips=("build/windows-x64/prismlux-$version.zip" "build/windows-x64/prismlux-tool-$version-win64.zip")
rm -f "${zips[@]}"
step() {
  "$@" >>"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "release: '$*' failed (all of it in $log)" >&2; exit 1; }
}
for preset in windows-x86 windows-x64; do
  echo "Building $preset"
  step cmake --preset "$preset" -DPRISMLUX_WINEPREFIX_TEMPLATE="$PWD/build/wineprefix-base"
  step cmake --build --preset "$preset"
done
step cmake --build --preset windows-x64 --target package

for zip in "${zips[@]}"; do
  [ -f "$zip" ] || { echo "release: $zip was not made" >&2; exit 1; }
  echo "$PWD/$zip"
  echo "  SHA-256 $(sha256sum "$zip" | cut -d' ' -f1)"
done
