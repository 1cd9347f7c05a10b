#!/usr/bin/env bash
# Installs what building and running need (not the test tools), builds the two
# programs, and starts the window; arguments go to it (packages to merge).
# On Linux with no display it says how to start the window anyway and exits 1.
#   UPT_SKIP_INSTALL=1   leaves out the install step (the test of this script)
#   UPT_BUILD_DIR=DIR    builds in DIR instead of build/
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${UPT_BUILD_DIR:-build}

[ -n "${UPT_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh --run --with-fonts
# Configured once; a folder that test.sh configured keeps its options, and
# only the two programs are built here.
[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target upgrade-package-tool upgrade-package-cli --parallel "$(nproc)"

program="$dir/upgrade-package-tool"
case "$dir" in /*) ;; *) program="./$program" ;; esac

# Qt platforms that draw without an X or Wayland server (the program checks
# the same before it starts Qt).
needs_no_display() {
  local platform
  IFS=';' read -ra platforms <<<"${QT_QPA_PLATFORM:-}"
  for platform in "${platforms[@]}"; do
    case "${platform%%:*}" in
      offscreen | minimal | minimalegl | eglfs | linuxfb | vnc | vkkhrdisplay) return 0 ;;
    esac
  done
  return 1
}
if [ "$(uname -s)" = Linux ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] \
  && ! needs_no_display; then
  echo "没有可用的图形显示（DISPLAY和WAYLAND_DISPLAY均未设置），无法打开窗口；可在虚拟显示中启动：xvfb-run -a $program（需安装软件包xvfb）" >&2
  exit 1
fi
exec "$program" "$@"
