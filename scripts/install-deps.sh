#!/usr/bin/env bash
# Installs what the project needs on Debian 12, as root (or through sudo).
# Packages that are already there are left as they are.
#   install-deps.sh               building, running, testing and benchmarking
#   install-deps.sh --run         building and running the two programs only
#   ... --with-fonts              also a CJK font, for the window's Chinese texts
set -euo pipefail

build_and_run=(
  cmake make g++ pkg-config qtbase5-dev libzip-dev zlib1g-dev
  # Qt's own dialog texts in Chinese
  qttranslations5-l10n
)
tests_and_benchmark=(
  # a virtual X server, window tools, independent ZIP readers and writers
  xvfb xauth xdotool x11-utils python3 unzip zip p7zip-full libarchive-tools busybox ziptool
  default-jdk-headless binutils
  # benchmark peers
  pigz
  # the Debian package (scripts/package.sh) and its checks (tests/deb_package.sh):
  # dpkg-shlibdeps, lintian, desktop-file-validate, appstreamcli, man page
  # rendering, bash completion
  dpkg-dev file lintian desktop-file-utils appstream groff-base man-db bash-completion
  # fuzzing: clang with libFuzzer and the sanitizers' runtime, llvm-cov
  clang-14 libclang-rt-14-dev llvm-14
)

packages=("${build_and_run[@]}")
run_only=""
for option in "$@"; do
  case "$option" in
    --run) run_only=1 ;;
    --with-fonts) packages+=(fonts-noto-cjk) ;;
    *) echo "install-deps.sh: unknown option $option (--run, --with-fonts)" >&2; exit 2 ;;
  esac
done
[ -n "$run_only" ] || packages+=("${tests_and_benchmark[@]}")

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
