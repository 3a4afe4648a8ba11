#!/bin/sh
# Renders icon-source.svg into velmora.ico: 32-bpp images of 16 to 256 px, those of 64 px and more
# stored as PNG (Windows reads a PNG image at any size, and it is a fraction of the bitmap: the
# loader's whole size is bounded), the small ones as bitmaps, as every reader of icons takes them.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --output "$tmp/$size.png" icon-source.svg
done
icotool --create --output velmora.ico "$tmp/16.png" "$tmp/32.png" "$tmp/48.png" --raw="$tmp/64.png" \
  --raw="$tmp/128.png" --raw="$tmp/256.png"
