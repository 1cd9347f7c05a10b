#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh), checks its files
# (tests/package_checks.sh), installs it with apt-get, uses both programs from
# /usr/bin (the command line's version, a build and inspect round trip, the
# window under a virtual X server with its title and icon), then purges it and
# checks that none of its files is left.
#
# Runs as root (CI does). It leaves the machine as it found it: it refuses to
# run where the package or any of its files is already installed, purges the
# package even when a step fails, and purges again any package that apt-get
# pulled in for it.
#
#   tests/deb_package.sh                builds the package, then tests it
#   tests/deb_package.sh PACKAGE.deb    tests a package built before
#   tests/deb_package.sh --window       (internal) the window check, inside xvfb-run
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
export LC_ALL=C.UTF-8
title="组合升级包生成工具v1.1"
source tests/checks_tally.sh

# ---- the installed window, run inside xvfb-run -------------------------------
# Starts the program from /usr/bin, finds its window by its exact title, reads
# the icon the window gives the window manager, and closes it as a window
# manager's close button does. Exit code 0 when all of that works.
if [ "${1:-}" = "--window" ]; then
  export QT_XCB_GL_INTEGRATION=none
  root=$PWD
  work=$(mktemp -d)
  cd "$work" || exit 1
  /usr/bin/upgrade-package-tool &
  pid=$!
  window=""
  for _ in $(seq 1 100); do
    window=$(xdotool search --name "^${title}\$" 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.1
  done
  code=0
  if [ -z "$window" ]; then
    echo "no window titled '$title' appeared"
    code=1
  else
    xprop -id "$window" _NET_WM_NAME WM_CLASS
    # The icon the window gives the window manager: width, height, then ARGB
    # pixels. It is the compiled-in 256 px drawing when the arrow's middle
    # (128, 120) is its green, #2f9e57.
    if xprop -len 1000000 -id "$window" -notype 32c _NET_WM_ICON | sed 's/^_NET_WM_ICON = //' | python3 -c '
import sys
values = [int(v) for v in sys.stdin.read().split(",")]
width, height, pixels = values[0], values[1], values[2:]
print("window icon: %d x %d" % (width, height))
assert (width, height) == (256, 256) and len(pixels) >= width * height
assert pixels[120 * width + 128] & 0xFFFFFFFF == 0xFF2F9E57, hex(pixels[120 * width + 128])
'; then
      :
    else
      echo "the window does not show the application icon"
      code=1
    fi
    python3 "$root/tests/close_window.py" "$window"
  fi
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end after its window was closed"
    kill -9 "$pid"
    code=1
  fi
  wait "$pid" || { echo "the program exited with code $?"; code=1; }
  cd / && rm -rf "$work"
  exit "$code"
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "FAIL: installing and removing a package needs root"
  exit 1
fi
# The tools the checks below use; scripts/package.sh installs only what
# building the package needs.
bash scripts/install-deps.sh --package-checks || {
  echo "FAIL: scripts/install-deps.sh --package-checks"
  exit 1
}
package=upgrade-package-tool

# ---- build and check the package -----------------------------------------------
if [ -n "${1:-}" ]; then
  deb=$1
else
  deb=$(bash scripts/package.sh | tail -n 1) || {
    echo "FAIL: scripts/package.sh"
    exit 1
  }
fi
[ -f "$deb" ] || { echo "FAIL: no package at '$deb'"; exit 1; }
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ "$(basename "$deb")" = "${package}_${version}_amd64.deb" ] \
  || fail "package file is $(basename "$deb"), not ${package}_${version}_amd64.deb"
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Section Maintainer Depends Recommends
bash tests/package_checks.sh "$deb" || fail "tests/package_checks.sh"
[ "$(dpkg-deb --field "$deb" Section)" = utils ] || fail "section is not utils"
# Dependencies come from dpkg-shlibdeps: the libraries the programs link.
for library in libqt5core5a libqt5widgets5 libzip4 libc6; do
  dpkg-deb --field "$deb" Depends | grep -q "$library" || fail "Depends does not name $library"
done

# ---- the machine before ------------------------------------------------------------
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'installed'; then
  echo "FAIL: $package is installed already; this test would replace and remove it"
  exit 1
fi
state=$(mktemp -d)
# Paths in the package, without the leading "."; and which of them exist now.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's:^\./:/:' -e 's:/$::' | grep -v '^/\?$' \
  >"$state/paths"
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    if [ -d "$path" ] && [ ! -L "$path" ]; then
      echo "$path" >>"$state/existing-folders"
    else
      echo "FAIL: $path exists already (installed by hand?); this test would remove it"
      rm -rf "$state"
      exit 1
    fi
  fi
done <"$state/paths"
touch "$state/existing-folders"
dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture}\n' | awk '$1 == "ii" {print $2}' \
  | sort >"$state/packages-before"

installed=""
cleanup() {
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "$package" >/dev/null 2>&1
  fi
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture}\n' \
    | awk '$1 == "ii" {print $2}' | sort >"$state/packages-now"
  local pulled
  pulled=$(comm -13 "$state/packages-before" "$state/packages-now")
  if [ -n "$pulled" ]; then
    echo "purging what the package pulled in: $pulled"
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq $pulled >/dev/null 2>&1
  fi
  rm -rf "$state"
}
trap cleanup EXIT
# Interrupted or terminated, it still purges what it installed.
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- install -------------------------------------------------------------------------
installed=yes
if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "$(readlink -f "$deb")" >"$state/apt-install.log" 2>&1; then
  pass "apt-get install ./$(basename "$deb")"
else
  cat "$state/apt-install.log"
  fail "apt-get install"
  exit 1
fi
dpkg -L "$package" | sort >"$state/files"

# ---- the command line from /usr/bin ----------------------------------------------------
[ "$(command -v upgrade-package-cli)" = /usr/bin/upgrade-package-cli ] \
  || fail "upgrade-package-cli is not found as /usr/bin/upgrade-package-cli"
shown=$(upgrade-package-cli --version)
if grep -q "^upgrade-package-cli v\?${version}\$" <<<"$shown"; then
  pass "upgrade-package-cli --version: $shown"
else
  fail "upgrade-package-cli --version said '$shown'"
fi

work=$(mktemp -d)
head -c 300000 /dev/urandom >"$work/hmi_v2.zip"
seq 1 50000 >"$work/ctrl_v5.zip"
mkdir "$work/out"
out=$(/usr/bin/upgrade-package-cli build --output-dir "$work/out" --name robot_v5 \
  --item hmi="$work/hmi_v2.zip" --item dravo="$work/ctrl_v5.zip")
code=$?
echo "build: $out"
if [ "$code" -ne 0 ] || [ ! -f "$work/out/robot_v5.zip" ]; then
  fail "build exited with $code"
fi
json=$(/usr/bin/upgrade-package-cli inspect --json "$work/out/robot_v5.zip")
code=$?
if [ "$code" -eq 0 ] && python3 - "$work" "$json" <<'EOF'; then
import json, sys, zipfile
work, report = sys.argv[1], json.loads(sys.argv[2])
assert report["valid"] is True, report
assert [(i["type"], i["name"]) for i in report["items"]] == [
    ("dravo", "ctrl_v5.zip"), ("hmi", "hmi_v2.zip")], report["items"]
with zipfile.ZipFile(work + "/out/robot_v5.zip") as z:
    assert z.namelist() == ["ctrl_v5.zip", "hmi_v2.zip", "upgrade_package_config.json"]
    assert z.read("upgrade_package_config.json") == \
        b'{"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":"hmi_v2.zip"}}'
    for name in ("ctrl_v5.zip", "hmi_v2.zip"):
        assert z.read(name) == open(work + "/" + name, "rb").read(), name
EOF
  pass "build and inspect round trip from /usr/bin"
else
  echo "$json"
  fail "inspect --json (exit $code) or the package read back"
fi
printf 'not a package' >"$work/broken.zip"
/usr/bin/upgrade-package-cli inspect "$work/broken.zip" >/dev/null
code=$?
[ "$code" -eq 1 ] || fail "inspect of a file that is no ZIP exited with $code, not 1"
/usr/bin/upgrade-package-cli build --output-dir "$work/out" 2>/dev/null
code=$?
[ "$code" -eq 2 ] || fail "build without --name exited with $code, not 2"
rm -rf "$work"

# ---- documentation, menu entry, icon, metainfo, completion where they belong --------------
before=$failures
for path in /usr/share/man/man1/upgrade-package-cli.1.gz /usr/share/man/man1/upgrade-package-tool.1.gz \
  /usr/share/applications/upgrade-package-tool.desktop \
  /usr/share/icons/hicolor/scalable/apps/upgrade-package-tool.svg \
  /usr/share/icons/hicolor/48x48/apps/upgrade-package-tool.png \
  /usr/share/icons/hicolor/256x256/apps/upgrade-package-tool.png \
  /usr/share/metainfo/invalid.upgrade_package_tool.UpgradePackageTool.metainfo.xml \
  /usr/share/bash-completion/completions/upgrade-package-cli \
  /usr/share/doc/upgrade-package-tool/README.md /usr/share/doc/upgrade-package-tool/copyright \
  /usr/share/doc/upgrade-package-tool/changelog.gz; do
  grep -qx "$path" "$state/files" || fail "the package does not install $path"
done
[ "$(man -w upgrade-package-cli 2>/dev/null)" = /usr/share/man/man1/upgrade-package-cli.1.gz ] \
  || fail "man does not find upgrade-package-cli(1)"
warnings=$(MANWIDTH=80 man --warnings upgrade-package-cli 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man upgrade-package-cli warned: $warnings"
if ! out=$(desktop-file-validate /usr/share/applications/upgrade-package-tool.desktop 2>&1) \
  || [ -n "$out" ]; then
  fail "installed menu entry: $out"
fi
appstreamcli validate --no-net /usr/share/metainfo/*.metainfo.xml >/dev/null \
  || fail "installed metainfo does not validate"
# bash-completion loads the installed file by the command's name.
loaded=$(bash -c 'source /usr/share/bash-completion/bash_completion
  _completion_loader upgrade-package-cli; complete -p upgrade-package-cli' 2>&1)
if [ "$loaded" = "complete -F _upgrade_package_cli upgrade-package-cli" ]; then
  pass "bash-completion loads the installed completion"
else
  fail "bash-completion did not load the completion: $loaded"
fi
[ "$failures" -eq "$before" ] && pass "installed files in place and valid"

# ---- the window from /usr/bin -------------------------------------------------------------
if xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --window; then
  pass "installed window opens as '$title' with its icon and closes with exit code 0"
else
  fail "installed window"
fi

# ---- purge: nothing of the package is left -------------------------------------------------
if DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "$package" >"$state/apt-remove.log" 2>&1; then
  installed=""
  pass "apt-get remove --purge $package"
else
  cat "$state/apt-remove.log"
  fail "apt-get remove --purge"
fi
dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' \
  && fail "$package is still installed"
left=0
while read -r path; do
  [ "$path" = /. ] && continue
  if grep -qx "$path" "$state/existing-folders"; then
    [ -d "$path" ] || { fail "the folder $path that was there before is gone"; left=1; }
  elif [ -e "$path" ] || [ -L "$path" ]; then
    fail "$path is left after purging"
    left=1
  fi
done <"$state/files"
[ "$left" -eq 0 ] && pass "no file of the package is left ($(wc -l <"$state/files") paths checked)"

report_tally deb_package
