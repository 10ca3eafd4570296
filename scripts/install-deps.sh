#!/usr/bin/env bash
# Installs what building and testing prismlux needs on Debian 12: the two mingw-w64 cross
# compilers, Wine for x86-64 and x86, CMake, GoogleTest's sources and Python 3 (the package
# checks). Does nothing for what is already there; uses sudo only when not run as root.
# A package registry out of step with itself is ridden out as apt-steps.sh says.
set -euo pipefail
here=$(dirname "$0")

apt_name=install-deps
if [ "$(id -u)" -eq 0 ]; then apt_as=(); else apt_as=(sudo); fi
. "$here/apt-steps.sh"

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null   || need+=(g++-mingw-w64-x86-64)
command -v i686-w64-mingw32-g++-posix   >/dev/null   || need+=(g++-mingw-w64-i686)
[ -x "$setup_root/usr/lib/wine/wine64" ]             || need+=(wine64)
[ -x "$setup_root/usr/lib/wine/wine" ]               || need+=(wine32:i386)
command -v cmake >/dev/null                          || need+=(cmake)
[ -f "$setup_root/usr/src/googletest/CMakeLists.txt" ] || need+=(googletest)
command -v python3 >/dev/null                        || need+=(python3)

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  # Asks for the password once, before the timed apt-get calls.
  [ ${#apt_as[@]} -eq 0 ] || sudo -v
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${apt_as[@]}" dpkg --add-architecture i386
  fi
  apt_update
  apt_install "${need[@]}"
fi

# Where the kernel cannot run 32-bit Linux programs, Wine's x86 loader runs under qemu.
if ! timeout 60 "$setup_root/usr/lib/wine/wine" --version >/dev/null 2>&1; then
  "${apt_as[@]}" "$here/enable-x86-wine.sh" --no-check
fi

cmake_version=$(cmake --version | head -n1 | awk '{print $3}')
if [ "$(printf '%s\n' 3.25 "$cmake_version" | sort -V | head -n1)" != 3.25 ]; then
  echo "CMake 3.25 or newer is needed (found $cmake_version)" >&2
  exit 1
fi
