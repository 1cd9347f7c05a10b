#!/usr/bin/env bash
# The Windows programs under Wine (after scripts/package-windows.sh): the
# core's and the command line's Qt Test programs as .exe; the command line on
# Chinese, spaced, backslashed, drive-letter and over-260-character paths, its
# package read back by the Linux readers and equal to the Linux command
# line's; runs killed mid-way, cancelled by Ctrl+C, and refused an archive
# that another program holds open; the window in Xvfb, found by its exact
# title and closed with exit code 0; the installer and uninstaller, silent.
# Every run gets a fresh WINEPREFIX. Prints one PASS or FAIL line per check
# and "wine: N passed, M failed"; exit code 0 when nothing failed.
#   tests/windows/run.sh [--screenshot]   (--screenshot: docs/windows-screenshot.png)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
root=$PWD
source tests/checks_tally.sh
export LC_ALL=C.UTF-8
started=$(date +%s)
screenshot=""
[ "${1:-}" = --screenshot ] && screenshot=1

win=$root/build-windows
sdk=$win/sdk/qt5-mingw64
linux_cli=${LINUX_CLI:-$root/build/upgrade-package-cli}
version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
title="组合升级包生成工具v$version"
setup=$win/dist/upgrade-package-tool-$version-setup.exe
for needed in "$win/upgrade-package-cli.exe" "$setup" "$linux_cli"; do
  [ -e "$needed" ] || { echo "run.sh: $needed is missing (scripts/package-windows.sh, scripts/build.sh)"; exit 1; }
done

work=$(mktemp -d /tmp/upkg-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d"
# Both systems' local time for the entries' DOS times: Wine takes the zone
# from TZ, as Linux does.
export TZ=Europe/Berlin
cleanup() {
  wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A Linux path as Windows names it on Wine's drive Z:.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# The folder's names, hidden ones too, one line each.
listing() { (cd "$1" && ls -A); }

wine wineboot -i >/dev/null 2>&1
wineserver -w
# A CJK font, and Wine's own window captions linked to it.
ln -s /usr/share/fonts/truetype/wqy/wqy-microhei.ttc "$WINEPREFIX/drive_c/windows/Fonts/"
for font in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$font" \
    /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
done
wineserver -w
app=$work/app
cmake --install "$win" --prefix "$app" >/dev/null
cli=$app/upgrade-package-cli.exe
cp "$win/tests/winhelper.exe" "$work/"

# ---- Qt Test programs --------------------------------------------------------
# Their output reaches a file (-o), not a pipe, under Wine. They find the SDK's
# DLLs and the offscreen platform through WINEPATH and QT_PLUGIN_PATH, and the
# hand-made hostile archives (python here, none on Windows) in a folder.
hostile=$work/hostile
mkdir -p "$hostile"
python3 - "$hostile" <<'PY'
import sys
sys.path.insert(0, 'tests')
import hostile_zip
for name in dir(hostile_zip):
    if name.startswith('case_'):
        with open(f'{sys.argv[1]}/{name[5:]}.zip', 'wb') as f:
            f.write(getattr(hostile_zip, name)())
PY
export UPKG_HOSTILE_ZIPS=$(winpath "$hostile")
for test in ${WINE_TESTS:-tst_windowsfiles tst_ziplayer tst_packagerules tst_paralleldeflate tst_screening tst_packagewriter tst_combinedpackage tst_cli}; do
  exe=$win/tests/$test.exe
  if [ ! -f "$exe" ]; then
    fail "$test.exe was not built"
    continue
  fi
  mkdir -p "$work/$test"
  out=$work/$test.txt
  (cd "$work/$test" && WINEPATH="$(winpath "$sdk/bin");$(winpath "$app")" \
    QT_PLUGIN_PATH="$(winpath "$sdk/plugins")" QT_QPA_PLATFORM=offscreen \
    timeout 600 wine "$exe" -o "$(winpath "$out"),txt" >/dev/null 2>&1)
  code=$?
  totals=$(grep -a '^Totals:' "$out" 2>/dev/null)
  if [ "$code" -eq 0 ] && grep -q ' 0 failed' <<<"$totals"; then
    pass "$test.exe under Wine: $totals"
  else
    fail "$test.exe under Wine (exit $code): ${totals:-no totals}"
    grep -a -A3 '^FAIL' "$out" 2>/dev/null | head -n 20
  fi
done

# Qt's own texts in Chinese from the folder's translations/: the form test's
# check, run from inside the installed folder.
cp "$win/tests/tst_form.exe" "$app/"
(cd "$work" && WINEPATH="$(winpath "$sdk/bin")" QT_QPA_PLATFORM=offscreen \
  QT_PLUGIN_PATH="$(winpath "$sdk/plugins")" timeout 300 wine "$app/tst_form.exe" \
  qtDialogsSpeakChineseInAChineseLocale -o "$(winpath "$work/form.txt"),txt" >/dev/null 2>&1)
grep -q '^Totals: 3 passed, 0 failed' "$work/form.txt" 2>/dev/null \
  && pass "Qt's dialogs speak Chinese from the folder's translations/qtbase_zh_CN.qm" \
  || fail "Qt's Chinese translation beside the program: $(grep -a '^FAIL\|^Totals' "$work/form.txt" 2>&1)"
rm "$app/tst_form.exe"

# ---- the command line on Windows paths ---------------------------------------
desk=$work/Users/张三/桌面
items="$desk/升级 项目"
out=$desk/输出
mkdir -p "$items" "$out" "$work/linux"
head -c 3000000 /dev/urandom >"$items/控制器 v5.zip"
head -c 200000 /dev/urandom >"$items/界面 HMI.zip"
printf 'servo\n' >"$items/伺服 参数.zip"
chmod 0644 "$items"/*
touch -d "2024-07-15 14:30:10" "$items/控制器 v5.zip"
touch -d "2023-12-24 08:05:00" "$items/界面 HMI.zip"
touch -d "1975-01-01 00:00:00" "$items/伺服 参数.zip"
# Backslashes with a drive letter, "/" as a file chooser gives it, and a path
# relative to the current folder.
(cd "$desk" && wine "$cli" build --output-dir "$(winpath "$out")\\" --name "机器人 v5" \
  --item "controller=$(winpath "$items/控制器 v5.zip")" \
  --item "hmi=Z:$items/界面 HMI.zip" \
  --item "伺服参数=升级 项目\\伺服 参数.zip" >"$work/build.txt" 2>&1)
code=$?
package="$out/机器人 v5.zip"
if [ "$code" -eq 0 ] && [ "$(listing "$out")" = "机器人 v5.zip" ]; then
  pass "CLI.exe builds from Chinese folders and items (backslashes, drive letter, /, relative)"
else
  fail "CLI.exe build (exit $code): $(cat "$work/build.txt")"
fi
grep -q "机器人 v5.zip" "$work/build.txt" \
  && pass "CLI.exe prints the archive's Chinese path: $(head -c 200 "$work/build.txt")" \
  || fail "CLI.exe's output lost the Chinese path: $(cat "$work/build.txt")"

# Every Linux reader reads it back, to the items' bytes.
names=("控制器 v5.zip" "界面 HMI.zip" "伺服 参数.zip")
python3 - "$package" "$items" "${names[@]}" <<'PY' && pass "python zipfile reads it: entries, bytes, CRC" || fail "python zipfile"
import sys, zipfile, os, json
z = zipfile.ZipFile(sys.argv[1]); folder = sys.argv[2]
assert z.testzip() is None
for name in sys.argv[3:]:
    assert z.read(name) == open(os.path.join(folder, name), "rb").read(), name
assert all("/" not in n and "\\" not in n and ":" not in n for n in z.namelist())
print(json.loads(z.read("upgrade_package_config.json")))
PY
unzip -tq "$package" >/dev/null && pass "unzip -t reads it" || fail "unzip -t"
7z t "$package" >/dev/null && pass "7z t reads it" || fail "7z t"
mkdir -p "$work/bsdtar" && bsdtar -xf "$package" -C "$work/bsdtar" \
  && cmp "$work/bsdtar/控制器 v5.zip" "$items/控制器 v5.zip" && pass "bsdtar extracts it" || fail "bsdtar"
"$linux_cli" inspect "$package" >/dev/null && pass "the Linux CLI's inspect calls it valid" \
  || fail "Linux inspect: $("$linux_cli" inspect "$package" 2>&1 | tail -n 3)"

# The Linux command line, from the same item bytes, times and time zone.
"$linux_cli" build --output-dir "$work/linux" --name "机器人 v5" \
  --item "controller=$items/控制器 v5.zip" --item "hmi=$items/界面 HMI.zip" \
  --item "伺服参数=$items/伺服 参数.zip" >/dev/null
if cmp -s "$package" "$work/linux/机器人 v5.zip"; then
  pass "the Windows and Linux packages are the same bytes"
else
  fail "the Windows package differs from the Linux one"
fi

# ---- a path over 260 characters ----------------------------------------------
long=$work/$(printf '很长的文件夹名称%.0s' 1 2 3 4 5 6)
for part in 1 2 3 4 5; do long=$long/$(printf 'folder-%s-%.0s' "$part" 1 2 3 4 5 6); done
mkdir -p "$long"
cp "$items/界面 HMI.zip" "$long/"
wine "$cli" build --output-dir "$(winpath "$long")" --name "长路径 package" \
  --item "hmi=$(winpath "$long/界面 HMI.zip")" >"$work/long.txt" 2>&1
code=$?
length=$(printf '%s' "$(winpath "$long/长路径 package.zip")" | wc -m)
if [ "$code" -eq 0 ] && [ "$length" -gt 260 ] && unzip -tq "$long/长路径 package.zip" >/dev/null; then
  pass "a package at a path of $length characters, from an item there"
else
  fail "long path ($length characters, exit $code): $(cat "$work/long.txt")"
fi

# ---- killed mid-run ----------------------------------------------------------
head -c 400000000 /dev/urandom >"$work/big.bin"
killed=$work/killed
mkdir -p "$killed"
wine "$cli" build --output-dir "$(winpath "$killed")" --name p --item "hmi=$(winpath "$items/伺服 参数.zip")" >/dev/null 2>&1
cp "$killed/p.zip" "$work/earlier.zip"
# Waits until a run's hidden file holds data.
wait_for_run_file() {
  for _ in $(seq 1 200); do
    [ -n "$(find "$1" -name '.upkg-*.tmp' -size +1k 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  return 1
}
for how in "taskkill /F" "wineserver -k"; do
  wine "$cli" build --output-dir "$(winpath "$killed")" --name p --force \
    --item "hmi=$(winpath "$work/big.bin")" >/dev/null 2>&1 &
  running=$!
  if ! wait_for_run_file "$killed"; then
    fail "killed by $how: the run wrote nothing to kill"
    wait "$running"
    continue
  fi
  if [ "$how" = "taskkill /F" ]; then
    wine taskkill /F /IM upgrade-package-cli.exe >/dev/null 2>&1
  else
    wineserver -k
  fi
  wait "$running"
  sleep 1
  if [ "$(listing "$killed")" = p.zip ] && cmp -s "$killed/p.zip" "$work/earlier.zip"; then
    pass "killed by $how mid-run: the earlier archive as it was, no other file"
  else
    fail "killed by $how: the folder holds $(listing "$killed" | tr '\n' ' ')"
  fi
done
wineserver -w

# ---- Ctrl+C ------------------------------------------------------------------
# A console for the run: a pseudo-terminal (script), where Wine's console
# passes Ctrl+C on.
SHELL=/bin/bash script -qec "wine $(printf '%q' "$work/winhelper.exe") event c $(printf '%q' "$(winpath "$killed")") $(printf '%q' "$(winpath "$work/ended.txt")") \
  $(printf '%q' "$(winpath "$cli")") build --output-dir $(printf '%q' "$(winpath "$killed")") \
  --name p --force --item $(printf '%q' "hmi=$(winpath "$work/big.bin")"); exit \$?" \
  "$work/ctrl-c.txt" </dev/null >/dev/null 2>&1
code=$?
ended=$(tr -dc 0-9 <"$work/ended.txt" 2>/dev/null)
if [ "$code" -eq 130 ] && [ "$(listing "$killed")" = p.zip ] && cmp -s "$killed/p.zip" "$work/earlier.zip" \
  && grep -q "已取消打包" "$work/ctrl-c.txt" && [ "${ended:-9999}" -le 500 ]; then
  pass "Ctrl+C cancels a run in $ended ms: exit 130, the earlier archive as it was, no other file"
else
  fail "Ctrl+C: exit $code, folder: $(listing "$killed" | tr '\n' ' ')"
  cat -v "$work/ctrl-c.txt"
fi

# ---- the console window closed -----------------------------------------------
# Wine ends a console's programs when its window closes, without the close
# event that Windows sends first (so exit code 129 shows on Windows only);
# what stays in the folder is the same.
wineserver -w
xvfb-run -a -s '-screen 0 1280x900x24' bash -c '
  wineconsole "$1" build --output-dir "$2" --name p --force --item "hmi=$3" & console=$!
  for _ in $(seq 1 200); do
    [ -n "$(find "$4" -name ".upkg-*.tmp" -size +1k)" ] && break
    sleep 0.1
  done
  for _ in $(seq 1 100); do
    window=$(xdotool search --name "upgrade-package-cli" 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] && python3 tests/close_window.py "$window"
  wait $console' _ "$cli" "$(winpath "$killed")" "$(winpath "$work/big.bin")" "$killed" \
  >/dev/null 2>>"$work/window.log"
sleep 1
if [ "$(listing "$killed")" = p.zip ] && cmp -s "$killed/p.zip" "$work/earlier.zip"; then
  pass "the console window closed mid-run: the earlier archive as it was, no other file"
else
  fail "console window closed: the folder holds $(listing "$killed" | tr '\n' ' ')"
fi

# ---- an earlier archive another program holds open ---------------------------
held=$work/held
mkdir -p "$held"
cp "$work/earlier.zip" "$held/p.zip"
wine "$work/winhelper.exe" hold "$(winpath "$held/p.zip")" "$(winpath "$work/held.marker")" 30 &
holder=$!
for _ in $(seq 1 100); do [ -e "$work/held.marker" ] && break; sleep 0.1; done
wine "$cli" build --output-dir "$(winpath "$held")" --name p --force \
  --item "hmi=$(winpath "$items/界面 HMI.zip")" >"$work/held.txt" 2>&1
code=$?
kill "$holder" 2>/dev/null
wineserver -w
if [ "$code" -eq 3 ] && [ "$(listing "$held")" = p.zip ] && cmp -s "$held/p.zip" "$work/earlier.zip"; then
  pass "an archive held open: exit 3, kept, no other file; says: $(head -n 2 "$work/held.txt" | tr '\n' ' ')"
else
  fail "archive held open: exit $code, folder: $(listing "$held" | tr '\n' ' '), said: $(cat "$work/held.txt")"
fi

# ---- the window --------------------------------------------------------------
# Started from the installed folder in Xvfb, found by its exact title, closed
# as a window manager's close button does.
window_check() {
  xvfb-run -a -s '-screen 0 1280x900x24' bash -c '
    wine "$1" & program=$!
    for _ in $(seq 1 300); do
      window=$(xdotool search --name "^$2\$" 2>/dev/null | head -n 1)
      [ -n "$window" ] && break
      sleep 0.1
    done
    [ -n "$window" ] || { kill $program; exit 5; }
    sleep 1
    python3 tests/close_window.py "$window"
    wait $program' _ "$1" "$title" 2>>"$work/window.log"
}
wineserver -w
window_check "$app/upgrade-package-tool.exe"
code=$?
if [ "$code" -eq 0 ]; then
  pass "the window appears titled \"$title\" and closes with exit code 0"
else
  fail "the window (exit $code)"
fi
# The picture for the README: in a Wine desktop of its own, which draws the
# window's frame and title as Windows does.
if [ -n "$screenshot" ]; then
  wineserver -w
  xvfb-run -a -s '-screen 0 1024x768x24' bash -c '
    wine explorer /desktop=shot,900x700 "$1" & desktop=$!
    sleep 8
    import -window root "$2"
    wineserver -k' _ "$app/upgrade-package-tool.exe" "$work/window.png" 2>>"$work/window.log"
  convert "$work/window.png" -crop 808x628+0+0 +repage "$root/docs/windows-screenshot.png" \
    && echo "saved docs/windows-screenshot.png"
fi

# ---- the installer -----------------------------------------------------------
installed="$WINEPREFIX/drive_c/Program Files/组合升级包生成工具"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/组合升级包生成工具.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\upgrade-package-tool'
# A key's values as UTF-8 text (reg query prints through the console's code
# page, which loses Chinese); empty when there is no such key.
registry() {
  rm -f "$work/key.reg"
  wine reg export "$1" "$(winpath "$work/key.reg")" /y >/dev/null 2>&1 \
    && iconv -f UTF-16 -t UTF-8 "$work/key.reg"
}
wine "$setup" /S
wineserver -w
if [ -f "$installed/upgrade-package-tool.exe" ] && [ -f "$shortcut" ] \
  && registry "$uninstall_key" | grep -q '"DisplayName"="组合升级包生成工具"'; then
  pass "setup.exe /S installs the folder, the Start-menu shortcut and the entry in the list of programs"
else
  fail "setup.exe /S: $(ls "$installed" 2>&1 | head -n 3 | tr '\n' ' ')"
fi
window_check "$installed/upgrade-package-tool.exe" && pass "the installed tool starts and closes with exit 0" \
  || fail "the installed tool"
registry 'HKCU\Software\upgrade-package-tool' | grep -q '\[HKEY_CURRENT_USER' \
  && pass "the tool kept its settings in the registry (HKCU\\Software\\upgrade-package-tool)" \
  || fail "the tool kept no settings"
wine "$installed/uninstall.exe" /S
wineserver -w
sleep 2 # the uninstaller finishes in a copy of itself
if [ ! -e "$installed" ] && [ ! -e "$shortcut" ] && [ -z "$(registry "$uninstall_key")" ] \
  && [ -z "$(registry 'HKCU\Software\upgrade-package-tool')" ]; then
  pass "uninstall.exe /S leaves nothing: folder, shortcut, list entry and settings gone"
else
  fail "uninstall.exe /S left: $(ls -A "$installed" 2>&1 | tr '\n' ' ')"
fi

echo "wine step: $(($(date +%s) - started)) s"
report_tally wine
