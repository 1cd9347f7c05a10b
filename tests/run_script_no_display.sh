#!/usr/bin/env bash
# scripts/run.sh on a machine with no display: one line saying how to start
# the window anyway, exit code 1, and no Qt abort. The program started
# directly says the same. Usage: run_script_no_display.sh SOURCE_DIR BUILD_DIR
# (run.sh builds the two programs in BUILD_DIR, where they are up to date).
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

[ "$failed" -eq 0 ] && echo "PASS"
exit "$failed"
