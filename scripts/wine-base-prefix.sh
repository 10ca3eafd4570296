#!/usr/bin/env bash
# Boots one Wine prefix (build/wineprefix-base) that each build copies into its own folder,
# so that the slow first boot happens once for both architectures.
set -euo pipefail
cd "$(dirname "$0")/.."
base="$PWD/build/wineprefix-base"
[ -f "$base/.prismlux-ready" ] && exit 0
rm -rf "$base"
mkdir -p "$(dirname "$base")"
echo "Booting the Wine prefix $base (this takes a minute or two)"
WINEPREFIX="$base" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d" \
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
WINEPREFIX="$base" /usr/lib/wine/wineserver -w
[ -f "$base/system.reg" ] || { echo "Wine could not make a prefix in $base" >&2; exit 1; }
touch "$base/.prismlux-ready"
