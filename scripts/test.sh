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
  # The first program in a prefix starts Wine's services, which inherit its output and would
  # keep the first test's output open for as long as the server lives: start them here.
  WINEPREFIX="$PWD/build/$preset/wineprefix" /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
  status=0
  ctest --preset "$preset" || status=$?
  WINEPREFIX="$PWD/build/$preset/wineprefix" /usr/lib/wine/wineserver -k || true
  [ "$status" -eq 0 ] || exit "$status"
done
