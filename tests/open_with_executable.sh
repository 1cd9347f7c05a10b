#!/usr/bin/env bash
# The real program started as a file manager's "open with" starts it, with
# two packages: one message names the second, then the look inside the first
# opens. Its window is modal: closing the main window meanwhile does nothing;
# once it is closed, closing the main window ends the program with exit code 0.
set -u
exe=$(readlink -f "$1")
title="组合升级包生成工具v1.1"

if [ -z "${OPEN_WITH_INNER:-}" ]; then
  OPEN_WITH_INNER=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$(readlink -f "$0")" "$exe"
fi
export QT_XCB_GL_INTEGRATION=none
[ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=0"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export XDG_CONFIG_HOME="$work/config"
python3 - <<'PY'
import zipfile
for name in ("v4.zip", "v5.zip"):
    with zipfile.ZipFile(name, "w") as z:
        z.writestr("hmi.zip", b"hmi")
        z.writestr("upgrade_package_config.json", '{"hmi":{"name":"hmi.zip"}}')
PY
"$exe" v4.zip v5.zip &
pid=$!

fail() {
  echo "FAIL: $1"
  kill "$pid" 2>/dev/null
  exit 1
}
# Waits for a visible window with exactly this title and prints its id.
window_titled() {
  for _ in $(seq 1 100); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
close() { python3 "$(dirname "$(readlink -f "$0")")/close_window.py" "$1"; }

main=$(window_titled "$title") || fail "no window titled '$title'"
message=$(window_titled "未打开的文件") || fail "no message naming the second package"
xdotool search --onlyvisible --name "^查看升级包\$" >/dev/null 2>&1 \
  && fail "the look inside opened before the message was read"
close "$message"
dialog=$(window_titled "查看升级包") || fail "the first package was not looked inside"
echo "message, then the look inside: ok"

close "$main"
sleep 1
kill -0 "$pid" 2>/dev/null || fail "the program ended with the look inside open"
xdotool search --onlyvisible --name "^查看升级包\$" >/dev/null 2>&1 || fail "the look inside closed"
close "$dialog"
sleep 0.5
close "$main"
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && { kill -9 "$pid"; fail "the program did not end"; }
wait "$pid"
code=$?
[ "$code" -eq 0 ] || fail "exit code $code"
echo "PASS"
