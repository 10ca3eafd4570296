#!/usr/bin/env bash
# Boots one Wine prefix (build/wineprefix-base) that each build copies into its own folder,
# so that the slow first boot happens once for both architectures.
set -euo pipefail
cd "$(dirname "$0")/.."
base="$PWD/build/wineprefix-base"
# A prefix booted while 32-bit programs could not run lacks its 32-bit system DLLs.
if [ -f "$base/.prismlux-ready" ] && [ -n "$(ls -A "$base/drive_c/windows/syswow64" 2>/dev/null)" ]; then
  exit 0
fi
rm -rf "$base"
mkdir -p "$(dirname "$base")"
echo "Booting the Wine prefix $base (this takes a minute or two)"
WINEPREFIX="$base" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d" \
  timeout 600 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
WINEPREFIX="$base" timeout 120 /usr/lib/wine/wineserver -w || WINEPREFIX="$base" /usr/lib/wine/wineserver -k || true
[ -f "$base/system.reg" ] || { echo "Wine could not make a prefix in $base" >&2; exit 1; }
[ -n "$(ls -A "$base/drive_c/windows/syswow64" 2>/dev/null)" ] \
  || { echo "Wine made $base without its 32-bit system DLLs" >&2; exit 1; }
touch "$base/.prismlux-ready"
