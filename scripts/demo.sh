#!/usr/bin/env bash
# The main job: builds the 64-bit external with our stand-in Max host and simulated
# interface, then runs the demo session under Wine. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/wine-base-prefix.sh

preset=windows-x64
cmake --preset "$preset" -DPRISMLUX_WINEPREFIX_TEMPLATE="$PWD/build/wineprefix-base" >/dev/null
cmake --build --preset "$preset" --target prismlux_demo >/dev/null
exec "build/$preset/wine-run.sh" "build/$preset/bin/prismlux_demo.exe"
