#!/usr/bin/env bash
# Cross-builds the Windows programs and their tests on Debian 12 (amd64), as
# root or through sudo: installs the MinGW-w64 compiler, MinGW zlib, Wine and
# NSIS from Debian, unpacks the Qt and libzip SDK of ../shared/windows into
# build-windows/sdk/ (once; it is never rebuilt), and builds into
# build-windows/ with cmake/mingw-w64.cmake. Extra arguments go to CMake's
# configure step, e.g. -DBUILD_TESTING=OFF. SHARED_DIR names the shared folder
# when it is not ../shared (a worktree elsewhere).
#   build-windows.sh            installs, unpacks, builds
#   build-windows.sh --no-deps  builds only (the packages are there)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-windows

deps=1
if [ "${1:-}" = --no-deps ]; then
  deps=""
  shift
fi

packages=(
  cmake make pkg-config g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  # the SDK's host tools (moc, uic, rcc) are Linux programs
  xz-utils
  # Qt's Chinese dialog texts (qtbase_zh_CN.qm), the installer, Wine
  qttranslations5-l10n nsis wine wine64 fonts-wine
  # the Wine tests: a virtual X server, window tools, a CJK font for Wine,
  # screenshots, and the Linux ZIP readers that read the Windows package back
  xvfb xauth xdotool imagemagick fonts-wqy-microhei
  python3 unzip p7zip-full libarchive-tools zip
)
if [ -n "$deps" ]; then
  missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"
  fi
fi

# The SDK: Qt 5.15.8 and libzip 1.7.3 built for Windows (../shared/windows
# says how), beside the repository (or where SHARED_DIR says). Unpacked again
# when the tarball changes.
tarball=${SHARED_DIR:-$root/../shared}/windows/qt5-mingw64.tar.xz
sdk=$root/$build/sdk
if [ ! -f "$tarball" ]; then
  echo "build-windows.sh: no SDK at $tarball" >&2
  exit 1
fi
stamp=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ "$(cat "$sdk/.unpacked" 2>/dev/null)" != "$stamp" ]; then
  if [ -f "$tarball.sha256" ] && [ "$(cut -d' ' -f1 "$tarball.sha256")" != "$stamp" ]; then
    echo "build-windows.sh: $tarball does not match its .sha256" >&2
    exit 1
  fi
  rm -rf "$sdk"
  mkdir -p "$sdk"
  tar -C "$sdk" -xJf "$tarball"
  echo "$stamp" >"$sdk/.unpacked"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DWINDOWS_SDK="$sdk/qt5-mingw64" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
