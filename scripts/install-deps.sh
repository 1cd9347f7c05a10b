#!/usr/bin/env bash
# Installs what the project needs on Debian 12, as root (or through sudo).
# Packages that are already there are left as they are.
#   install-deps.sh                   building, running, testing and benchmarking
#   install-deps.sh --run             building and running the two programs only
#   install-deps.sh --package         building the two programs and the Debian package
#                                     (scripts/package.sh) only
#   install-deps.sh --package-checks  that, and what tests/deb_package.sh checks
#                                     the package with
#   ... --with-fonts                  also a CJK font, for the window's Chinese texts
# The options add up: --run --package installs both groups.
set -euo pipefail

build=(cmake make g++ pkg-config qtbase5-dev libzip-dev zlib1g-dev)
run=(
  # Qt's own dialog texts in Chinese
  qttranslations5-l10n
)
packaging=(
  # dpkg-buildflags (Debian's hardening flags) and dpkg-shlibdeps (the
  # package's dependencies, through objdump); CPack's DEB generator needs
  # `file` to find the programs' libraries
  dpkg-dev binutils file
)
package_checks=(
  # lintian, desktop-file-validate, appstreamcli, man page rendering, bash
  # completion; the installed window under a virtual X server, found with
  # xdotool and xprop; the build and inspect round trip read back with python
  lintian desktop-file-utils appstream groff-base man-db bash-completion
  xvfb xauth xdotool x11-utils python3
)
tests_and_benchmark=(
  # independent ZIP readers and writers
  unzip zip p7zip-full libarchive-tools busybox ziptool default-jdk-headless
  # benchmark peers
  pigz
  # fuzzing: clang with libFuzzer and the sanitizers' runtime, llvm-cov
  clang-14 libclang-rt-14-dev llvm-14
)

packages=()
chosen=""
for option in "$@"; do
  case "$option" in
    --run) packages+=("${build[@]}" "${run[@]}"); chosen=1 ;;
    --package) packages+=("${build[@]}" "${packaging[@]}"); chosen=1 ;;
    --package-checks) packages+=("${build[@]}" "${packaging[@]}" "${package_checks[@]}"); chosen=1 ;;
    --with-fonts) packages+=(fonts-noto-cjk) ;;
    *)
      echo "install-deps.sh: unknown option $option (--run, --package, --package-checks, --with-fonts)" >&2
      exit 2
      ;;
  esac
done
[ -n "$chosen" ] || packages+=("${build[@]}" "${run[@]}" "${packaging[@]}" "${package_checks[@]}"
  "${tests_and_benchmark[@]}")

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
