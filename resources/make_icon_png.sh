#!/usr/bin/env bash
# Renders the application icon's PNG sizes from icons/upgrade-package-tool.svg:
# 48 px (menus, task bars) and 256 px (software centres, the window's own icon,
# compiled in through resources.qrc). Run it after changing the SVG and commit
# the PNGs with it. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/icons"
for size in 48 256; do
  rsvg-convert --width "$size" --height "$size" --output "upgrade-package-tool-$size.png" \
    upgrade-package-tool.svg
done
