#!/usr/bin/env bash
# Builds both externals (x86-64 and x86) with everything around them, and runs every test
# of both architectures under Wine. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/wine-base-prefix.sh

for preset in windows-x64 windows-x86; do
  echo "=== $preset ==="
  cmake --preset "$preset" -DPRISMLUX_WINEPREFIX_TEMPLATE="$PWD/build/wineprefix-base" >/dev/null
  cmake --build --preset "$preset"
  # One wineserver for the whole run spares every test program its start.
  WINEPREFIX="$PWD/build/$preset/wineprefix" /usr/lib/wine/wineserver -p
  status=0
  ctest --preset "$preset" || status=$?
  WINEPREFIX="$PWD/build/$preset/wineprefix" /usr/lib/wine/wineserver -k || true
  [ "$status" -eq 0 ] || exit "$status"
done
