#!/usr/bin/env bash
# Draws the application icon (icon 128): a lightning bolt on a chip, in 16, 32, 48 and 256 pixels
# (Explorer and the taskbar take the 256-pixel image on high-DPI screens).
# The Linux tool's desktop icon (linux/fixcorepower-48.png) is the 48-pixel one.
# The .ico and the PNG are kept in the repository; run this again only to change the picture (needs ImageMagick).
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 256x256 xc:none \
  -fill '#1f3a5f' -draw 'roundrectangle 24,24 232,232 28,28' \
  -fill '#c9d3df' -draw 'rectangle 4,64 24,84 rectangle 4,118 24,138 rectangle 4,172 24,192' \
  -draw 'rectangle 232,64 252,84 rectangle 232,118 252,138 rectangle 232,172 252,192' \
  -fill '#ffcc00' -stroke '#8a6d00' -strokewidth 6 \
  -draw 'polygon 148,40 76,140 122,140 100,216 180,108 134,108 162,40' \
  -depth 8 "$tmp/icon-256.png"
for s in 16 32 48; do
  convert "$tmp/icon-256.png" -filter Lanczos -resize ${s}x${s} "$tmp/icon-$s.png"
done
convert "$tmp/icon-16.png" "$tmp/icon-32.png" "$tmp/icon-48.png" "$tmp/icon-256.png" FixCorePower.ico
convert "$tmp/icon-48.png" -strip linux/fixcorepower-48.png
