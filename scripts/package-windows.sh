#!/usr/bin/env bash
# Makes the Windows installer and the portable folder, in build-windows/dist/:
#   upgrade-package-tool-<version>-setup.exe   NSIS installer (64-bit, Chinese texts,
#                                              Start-menu shortcut, uninstaller)
#   upgrade-package-tool-<version>-windows-x64.zip   the same folder, to unpack and run
# Builds first with scripts/build-windows.sh (which installs what is missing);
# its arguments go there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/build-windows.sh "$@"

version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
dist=$root/build-windows/dist
name=upgrade-package-tool-$version
folder=$dist/$name
rm -rf "$dist"
mkdir -p "$dist"
cmake --install build-windows --prefix "$folder" >/dev/null

# The folder's files, one by one, for the installer and its uninstaller.
files=$dist/files.nsh
{
  echo '!ifdef INSTALL_FILES'
  (cd "$folder" && find . -type d | sort) | while read -r dir; do
    rel=${dir#./}
    win=${rel//\//\\}
    if [ "$dir" = . ]; then echo '  SetOutPath "$INSTDIR"'; else echo "  SetOutPath \"\$INSTDIR\\$win\""; fi
    (cd "$folder/$dir" && find . -maxdepth 1 -type f | sort) | while read -r file; do
      echo "  File \"$folder${rel:+/$rel}/${file#./}\""
    done
  done
  echo '!endif'
  echo '!ifdef UNINSTALL_FILES'
  (cd "$folder" && find . -type f | sort) | while read -r file; do
    rel=${file#./}
    echo "  Delete \"\$INSTDIR\\${rel//\//\\}\""
  done
  (cd "$folder" && find . -mindepth 1 -type d | sort -r) | while read -r dir; do
    rel=${dir#./}
    echo "  RMDir \"\$INSTDIR\\${rel//\//\\}\""
  done
  echo '!endif'
} >"$files"
size_kb=$(du -sk "$folder" | cut -f1)

makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DFILES="$files" -DSIZE_KB="$size_kb" \
  -DICON="$root/resources/icons/upgrade-package-tool.ico" \
  -DOUTFILE="$dist/$name-setup.exe" resources/windows/installer.nsi
(cd "$dist" && zip -q -r -X "$name-windows-x64.zip" "$name")
ls -l "$dist/$name-setup.exe" "$dist/$name-windows-x64.zip"
