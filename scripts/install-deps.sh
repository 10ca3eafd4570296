#!/usr/bin/env bash
# Installs what building and testing prismlux needs on Debian 12: the two mingw-w64 cross
# compilers, Wine for x86-64 and x86, CMake, GoogleTest's sources and Python 3 (the package
# checks). Does nothing for what
# is already there; uses sudo only when not run as root.
set -euo pipefail

if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v i686-w64-mingw32-g++-posix   >/dev/null || need+=(g++-mingw-w64-i686)
[ -x /usr/lib/wine/wine64 ]                        || need+=(wine64)
[ -x /usr/lib/wine/wine ]                          || need+=(wine32:i386)
command -v cmake >/dev/null                        || need+=(cmake)
[ -f /usr/src/googletest/CMakeLists.txt ]          || need+=(googletest)
command -v python3 >/dev/null                      || need+=(python3)

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Where the kernel cannot run 32-bit Linux programs, Wine's x86 loader runs under qemu.
if ! timeout 60 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  "${as_root[@]}" "$(dirname "$0")/enable-x86-wine.sh" --no-check
fi

cmake_version=$(cmake --version | head -n1 | awk '{print $3}')
if [ "$(printf '%s\n' 3.25 "$cmake_version" | sort -V | head -n1)" != 3.25 ]; then
  echo "CMake 3.25 or newer is needed (found $cmake_version)" >&2
  exit 1
fi
