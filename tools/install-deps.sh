#!/usr/bin/env bash
# Installs, with apt-get, whatever this project needs that the machine lacks.
# Usage: tools/install-deps.sh [core|all]   (core: build + tests; all: adds cross and extra tools)
# The editor needs the X11 headers (its window loads libX11 at run time), the
# generator of its glyph tables FreeType and the DejaVu fonts, its tests a
# virtual display (Xvfb) with XTest, and the screenshots libpng.
set -euo pipefail
want=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
      libbenchmark-dev libeigen3-dev libsndfile1-dev libsoxr-dev
      libx11-dev libxtst-dev libpng-dev libfreetype-dev fonts-dejavu-core xvfb xauth)
# all: the Windows cross compilers, Wine (32- and 64-bit) to run the Windows
# modules, and clang with its runtime libraries for the fuzz target.
want_all=(g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 clang-14 libclang-rt-14-dev
          wine wine32:i386 wine64)
[ "${1:-core}" = all ] && want+=("${want_all[@]}")
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  # 32-bit Wine comes from the i386 architecture.
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 update -qq
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
