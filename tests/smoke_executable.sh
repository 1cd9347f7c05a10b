#!/usr/bin/env bash
# Starts the real program under a virtual X server, checks that its window
# appears with the exact title, closes it as a window manager would, and
# checks that the program exits with code 0.
set -u
exe=$(readlink -f "$1")
title="组合升级包生成工具v1.1"

if [ -z "${SMOKE_INNER:-}" ]; then
  SMOKE_INNER=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$(readlink -f "$0")" "$exe"
fi

# The program draws with plain widgets; keeping the X server's GL driver out
# keeps its libraries (and what they hold at exit) out of sanitizer runs.
export QT_XCB_GL_INTEGRATION=none
# Under the sanitizers, full stacks for allocations, so that leaks inside
# system libraries are matched by name in the suppression file.
[ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=0"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$exe" &
pid=$!

window=""
for _ in $(seq 1 100); do
  window=$(xdotool search --name "^${title}\$" 2>/dev/null | head -n 1)
  [ -n "$window" ] && break
  sleep 0.1
done
if [ -z "$window" ]; then
  echo "FAIL: no window titled '$title' appeared"
  kill "$pid" 2>/dev/null
  exit 1
fi
shown=$(xprop -id "$window" _NET_WM_NAME WM_NAME 2>/dev/null)
echo "$shown"
if ! grep -q "\"${title}\"" <<<"$shown"; then
  echo "FAIL: the window's title is not exactly '$title'"
  kill "$pid" 2>/dev/null
  exit 1
fi

# Ask the window to close (WM_DELETE_WINDOW), as its close button does.
python3 "$(dirname "$0")/close_window.py" "$window"
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: the program did not end after its window was closed"
  kill -9 "$pid"
  exit 1
fi
wait "$pid"
code=$?
echo "exit code: $code"
[ "$code" -eq 0 ] || { echo "FAIL: exit code $code"; exit 1; }
echo "PASS"
