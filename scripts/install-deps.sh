#!/usr/bin/env bash
# Installs what building, testing and benchmarking need on Debian 12, as root
# (or through sudo). Packages that are already there are left as they are.
set -euo pipefail

packages=(
  # build
  cmake make g++ pkg-config qtbase5-dev libzip-dev zlib1g-dev
  # Qt's own dialog texts in Chinese
  qttranslations5-l10n
  # tests: a virtual X server, window tools, independent ZIP readers and writers
  xvfb xauth xdotool x11-utils python3 unzip zip p7zip-full libarchive-tools busybox ziptool
  default-jdk-headless binutils
  # benchmark peers
  pigz
  # fuzzing: clang with libFuzzer and the sanitizers' runtime, llvm-cov
  clang-14 libclang-rt-14-dev llvm-14
)
[ "${1:-}" = "--with-fonts" ] && packages+=(fonts-noto-cjk)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
