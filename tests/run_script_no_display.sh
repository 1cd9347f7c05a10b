#!/usr/bin/env bash
# scripts/run.sh on a machine with no display: one line saying how to start
# the window anyway, exit code 1, and no Qt abort. The program started
# directly says the same, and so it does when DISPLAY names a display that
# does not answer or turns it away. Usage: run_script_no_display.sh
# SOURCE_DIR BUILD_DIR (run.sh builds the two programs in BUILD_DIR, where
# they are up to date).
set -u
source_dir=$1
build_dir=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }

check() { # what, exit code, output, program path in the hint
  local what=$1 code=$2 output=$3 program=$4
  echo "--- $what (exit code $code)"
  echo "$output"
  [ "$code" -eq 1 ] || fail "$what: exit code $code, expected 1"
  local hints
  hints=$(grep -c "xvfb-run -a $program" <<<"$output")
  [ "$hints" -eq 1 ] || fail "$what: $hints lines name 'xvfb-run -a $program', expected 1"
  grep -q "xvfb" <<<"$(tail -n 1 <<<"$output")" || fail "$what: the hint is not the last line"
  if grep -qiE "qt\.qpa|could not connect|abort" <<<"$output"; then
    fail "$what: Qt's own failure shows"
  fi
}

no_display=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)

output=$(cd "$source_dir" && "${no_display[@]}" UPT_SKIP_INSTALL=1 UPT_BUILD_DIR="$build_dir" \
  timeout 300 bash scripts/run.sh 2>&1)
check "scripts/run.sh" $? "$output" "$build_dir/upgrade-package-tool"

output=$("${no_display[@]}" timeout 60 "$build_dir/upgrade-package-tool" 2>&1)
code=$?
check "upgrade-package-tool" $code "$output" "$build_dir/upgrade-package-tool"
[ "$(wc -l <<<"$output")" -eq 1 ] || fail "upgrade-package-tool: more than one line"

# A display that does not answer: no X server listens where DISPLAY points.
silent=1000
while [ -e "/tmp/.X11-unix/X$silent" ] || [ -e "/tmp/.X$silent-lock" ]; do
  silent=$((silent + 1))
done
unanswered=(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=":$silent")

output=$("${unanswered[@]}" timeout 60 "$build_dir/upgrade-package-tool" 2>&1)
check "upgrade-package-tool, DISPLAY=:$silent answers not" $? "$output" \
  "$build_dir/upgrade-package-tool"
[ "$(wc -l <<<"$output")" -eq 1 ] || fail "DISPLAY=:$silent: more than one line"
grep -q "“:$silent”" <<<"$output" || fail "DISPLAY=:$silent: the hint does not name the display"

output=$(cd "$source_dir" && "${unanswered[@]}" UPT_SKIP_INSTALL=1 UPT_BUILD_DIR="$build_dir" \
  timeout 300 bash scripts/run.sh 2>&1)
check "scripts/run.sh, DISPLAY=:$silent answers not" $? "$output" "$build_dir/upgrade-package-tool"

# A display that turns the program away: a server that wants a cookie the
# program does not have. (The X library prints the server's reason itself.)
output=$(xvfb-run -a -s "-screen 0 640x480x24" env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  XAUTHORITY=/nonexistent timeout 60 "$build_dir/upgrade-package-tool" 2>&1)
check "upgrade-package-tool, display refuses it" $? "$output" "$build_dir/upgrade-package-tool"

# Qt's own fallback is left alone: with "xcb;offscreen" it goes on offscreen
# after the failed connection, says so, and the window runs until stopped.
output=$(env -u WAYLAND_DISPLAY DISPLAY=":$silent" QT_QPA_PLATFORM="xcb;offscreen" \
  timeout 5 "$build_dir/upgrade-package-tool" 2>&1)
code=$?
echo "--- QT_QPA_PLATFORM='xcb;offscreen' (exit code $code)"
echo "$output"
[ "$code" -eq 124 ] || fail "xcb;offscreen: exit code $code, expected 124 (still running)"
grep -q "could not connect to display :$silent" <<<"$output" \
  || fail "xcb;offscreen: Qt's own warning was not passed on"
grep -q "xvfb-run" <<<"$output" && fail "xcb;offscreen: a hint although the window runs"

[ "$failed" -eq 0 ] && echo "PASS"
exit "$failed"
