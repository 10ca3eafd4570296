#!/bin/sh
# wineprefix-check.sh PREFIX LOADER32
# Removes the build's Wine prefix when it was made while 32-bit Wine could not run (its
# drive_c/windows/syswow64 is empty) and the 32-bit loader LOADER32 runs now, so that the
# build makes it again. Kept, such a prefix would hold its ready stamp for good, and every x86
# program would fail in it ("could not load kernel32.dll, status c0000135").
prefix=$1
loader=$2
[ -f "$prefix/.prismlux-ready" ] || exit 0
[ -z "$(ls -A "$prefix/drive_c/windows/syswow64" 2>/dev/null)" ] || exit 0
timeout 60 "$loader" --version >/dev/null 2>&1 || exit 0
echo "The Wine prefix $prefix was made while 32-bit Wine could not run; making it again"
rm -rf "$prefix"
