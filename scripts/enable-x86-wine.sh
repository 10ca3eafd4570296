#!/bin/bash
# Makes 32-bit (x86) Windows programs run under Wine on an x86-64 Debian host whose kernel has
# ia32 emulation disabled. 32-bit Linux binaries (Wine's i386 loader) then run through
# qemu-i386 user emulation, registered with binfmt_misc.
#
# qemu >= 8.1 is required: 7.2 (bookworm) has no default reserved guest address space and
# ignores MAP_FIXED_NOREPLACE hints, so Wine's address-space reservation takes ~50 s and then
# fails ("failed to map the shared user data: c0000018"). On bookworm it comes from
# bookworm-backports (only qemu-user-static is taken from there).
#
# Usage (root, non-interactive, idempotent):
#   scripts/enable-x86-wine.sh [--no-check | PREFIX_TEMPLATE]
# --no-check stops once the 32-bit Wine loader starts (the project's x86 tests then prove the
# rest).
# PREFIX_TEMPLATE, if given, is a ready 64-bit prefix; a temporary copy is used to check that a
# 32-bit program runs (the template itself is not touched). Without it a temporary prefix is
# booted (~1 min). Exit 0 when a 32-bit Windows program ran, non-zero with a message otherwise.
#
# Note: a prefix booted while 32-bit programs could not run has an empty
# drive_c/windows/syswow64 and cannot run 32-bit programs ("could not load kernel32.dll,
# status c0000135"); boot such prefixes again after running this script.
#
# apt-get update is tried again when it fails, and an install after a failed update is tried
# pinned to the release's own suite (apt-steps.sh, which also holds the test seams).
set -u

log() { echo "enable-x86-wine: $*"; }
die() { echo "enable-x86-wine: ERROR: $*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "must run as root"
apt_name=enable-x86-wine
. "$(dirname "$0")/apt-steps.sh"

template="${1:-}"
check=1
if [ "$template" = --no-check ]; then check=0; template=; fi
if [ -n "$template" ] && [ ! -f "$template/system.reg" ]; then
  die "'$template' is not a Wine prefix (no system.reg)"
fi

wine32_loader=$setup_root/usr/lib/wine/wine
binfmt_dir=$setup_root/proc/sys/fs/binfmt_misc
binfmt_name=qemu-i386
qemu=$setup_root/usr/bin/qemu-i386-static
apt_updated=0

update_once() {
  if [ "$apt_updated" = 0 ]; then
    log "apt-get update"
    apt_update
    apt_updated=1
  fi
}

# --- Wine for both architectures -------------------------------------------------------------
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding dpkg architecture i386"
  dpkg --add-architecture i386 || die "dpkg --add-architecture i386 failed"
fi
missing=()
for p in wine64 wine32:i386; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  update_once
  log "installing ${missing[*]}"
  apt_install "${missing[@]}"
else
  log "wine64 and wine32:i386 already installed"
fi

# --- binfmt_misc ------------------------------------------------------------------------------
if [ ! -e "$binfmt_dir/register" ]; then
  log "mounting binfmt_misc"
  mount -t binfmt_misc binfmt_misc "$binfmt_dir" || die "cannot mount binfmt_misc"
fi

native_ia32=0
if [ ! -e "$binfmt_dir/$binfmt_name" ] && timeout 60 "$wine32_loader" --version >/dev/null 2>&1; then
  native_ia32=1
  log "the kernel runs 32-bit binaries natively; no emulation needed"
fi

# --- qemu-i386 >= 8.1 -------------------------------------------------------------------------
qemu_ok() {  # true if the given qemu-i386 (or pinned binfmt interpreter) reports >= 8.1
  local v
  v=$("$@" 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p' | head -1)
  [ -n "$v" ] || return 1
  set -- $v
  [ "$1" -gt 8 ] || { [ "$1" -eq 8 ] && [ "$2" -ge 1 ]; }
}

if [ "$native_ia32" = 0 ]; then
  if ! qemu_ok "$qemu" --version; then
    target=()
    if [ "$(apt_release_codename)" = bookworm ]; then
      sources=$setup_root/etc/apt
      if ! grep -rqs 'bookworm-backports' "$sources/sources.list" "$sources/sources.list.d/"; then
        log "adding bookworm-backports apt source (default priority: only used when asked for)"
        mkdir -p "$sources/sources.list.d"
        echo 'deb http://deb.debian.org/debian bookworm-backports main' \
          > "$sources/sources.list.d/bookworm-backports.list"
        apt_updated=0
      fi
      target=(-t bookworm-backports)
    fi
    update_once
    log "installing qemu-user-static ${target[*]}"
    apt_install "${target[@]}" qemu-user-static
    qemu_ok "$qemu" --version || die "$qemu is still older than 8.1 ($("$qemu" --version | head -1))"
  fi
  log "using $("$qemu" --version | head -1)"

  # 'F' opens the interpreter at registration time, so an upgraded qemu needs re-registering.
  entry="$binfmt_dir/$binfmt_name"
  if [ -e "$entry" ] && grep -qx enabled "$entry" && grep -qx "interpreter $qemu" "$entry" \
     && grep -q '^flags: .*F' "$entry" && QEMU_VERSION=1 qemu_ok "$wine32_loader"; then
    log "binfmt entry $binfmt_name already registered and current"
  else
    if [ -e "$entry" ]; then
      log "removing stale binfmt entry $binfmt_name"
      echo -1 > "$entry" || die "cannot remove $entry"
    fi
    rule=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F'
    log "registering binfmt entry $binfmt_name -> $qemu (flags F)"
    echo "$rule" > "$binfmt_dir/register" || die "binfmt registration failed"
    # Re-applied at boot where systemd-binfmt runs.
    mkdir -p "$setup_root/etc/binfmt.d" && echo "$rule" > "$setup_root/etc/binfmt.d/qemu-i386.conf"
  fi
fi

timeout 60 "$wine32_loader" --version >/dev/null 2>&1 || die "$wine32_loader (32-bit ELF) does not start"
log "32-bit Wine loader starts: $(timeout 60 "$wine32_loader" --version)"
[ "$check" = 1 ] || exit 0

# --- Check that a 32-bit Windows program runs ------------------------------------------------
work=$(mktemp -d /tmp/enable-x86-wine.XXXXXX) || die "mktemp failed"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all DISPLAY=
cleanup() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

if [ -n "$template" ]; then
  log "copying prefix template $template"
  cp -a "$template/." "$WINEPREFIX" || die "cannot copy $template"
  if [ -z "$(ls -A "$WINEPREFIX/drive_c/windows/syswow64" 2>/dev/null)" ]; then
    die "$template has an empty drive_c/windows/syswow64 (booted while 32-bit programs could not run); boot it again now"
  fi
else
  log "booting a temporary prefix (about a minute)"
  WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d" timeout 600 \
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  timeout 120 /usr/lib/wine/wineserver -w
  [ -n "$(ls -A "$WINEPREFIX/drive_c/windows/syswow64" 2>/dev/null)" ] \
    || die "wineboot did not install the 32-bit DLLs (syswow64 is empty)"
fi

if command -v i686-w64-mingw32-gcc >/dev/null 2>&1; then
  cat > "$work/x86check.c" <<'EOF'
#include <stdio.h>
#include <windows.h>
int main(void)
{
    HWND w = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    printf("x86check ptr=%u window=%d\n", (unsigned)sizeof(void *), w != NULL);
    return w ? 0 : 1;
}
EOF
  i686-w64-mingw32-gcc -O2 -o "$work/x86check.exe" "$work/x86check.c" -luser32 \
    || die "cannot compile the x86 check program"
  start=$(date +%s%N)
  out=$(timeout 300 /usr/lib/wine/wine "$work/x86check.exe" 2>&1)
  rc=$?
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  echo "$out" | grep -q 'x86check ptr=4 window=1' \
    || die "32-bit Windows program failed (exit $rc): $out"
  log "32-bit Windows program ran (message-only window created) in ${ms} ms (including wineserver start)"
else
  out=$(timeout 300 /usr/lib/wine/wine 'C:\windows\syswow64\cmd.exe' /c echo x86check-ok 2>&1)
  echo "$out" | grep -q x86check-ok || die "32-bit cmd.exe failed: $out"
  log "32-bit cmd.exe ran"
fi
log "OK: 32-bit Windows programs run (use /usr/lib/wine/wine or /usr/lib/wine/wine64; no extra environment needed)"
exit 0
