#!/usr/bin/env bash
# Renders the application icon's PNG sizes (and the Windows .ico) from icons/upgrade-package-tool.svg:
# 48 px (menus, task bars) and 256 px (software centres, the window's own icon,
# compiled in through resources.qrc). Run it after changing the SVG and commit
# the PNGs with it. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/icons"
for size in 48 256; do
  rsvg-convert --width "$size" --height "$size" --output "upgrade-package-tool-$size.png" \
    upgrade-package-tool.svg
done
# The Windows icon (resources/windows/upgrade-package-tool.rc.in): 16 to 64 px and the
# 256 px PNG in one .ico. Needs ImageMagick's convert (Debian package imagemagick).
convert upgrade-package-tool-256.png \( -clone 0 -resize 16x16 \) \( -clone 0 -resize 32x32 \) \
  \( -clone 0 -resize 48x48 \) \( -clone 0 -resize 64x64 \) -delete 0 upgrade-package-tool-256.png \
  upgrade-package-tool.ico
