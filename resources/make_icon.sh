#!/usr/bin/env bash
# Makes merlintest.ico, the program's icon, from the desktop icon drawing:
# 16, 32 and 48 px for lists and title bars, 256 px for large icon views.
# Each size is drawn from the vector image, not scaled from another size.
# usage: resources/make_icon.sh (needs rsvg-convert, package librsvg2-bin,
# and ImageMagick's convert; ImageMagick's own SVG reader outlines every shape)
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48 256; do
  rsvg-convert -w "$size" -h "$size" -o "$tmp/$size.png" ../packaging/merlintest.svg
done
convert "$tmp/16.png" "$tmp/32.png" "$tmp/48.png" "$tmp/256.png" merlintest.ico
