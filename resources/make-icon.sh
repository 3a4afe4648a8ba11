#!/bin/sh
# Renders icon-source.svg into velmora.ico: 32-bpp images of 16 to 128 px, and the 256 px one
# stored as PNG, as Windows expects at that size (and far smaller).
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --output "$tmp/$size.png" icon-source.svg
done
icotool --create --output velmora.ico "$tmp/16.png" "$tmp/32.png" "$tmp/48.png" "$tmp/64.png" \
  "$tmp/128.png" --raw="$tmp/256.png"
