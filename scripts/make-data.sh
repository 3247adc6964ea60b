#!/usr/bin/env bash
# Regenerates the shipped Data/ (camera parameters, the four demo patterns
# with their thumbnails and catalogue, the placeholder thumbnail) and the
# printable demo markers in docs/markers/, all with the project's own tools.
# Uses an existing build in build/ (or $BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
data=$root/Data
markers=$root/docs/markers
mkdir -p "$data" "$markers"

"$build/tools/make_camera_param" "$data/camera_para.dat" >/dev/null
"$build/tools/design_patterns" "$markers" "$data/no_pattern.bmp"

# The catalogue is rebuilt from scratch: each marker registers as the next number.
rm -f "$data/pattern_list.txt" "$data"/[0-9][0-9][0-9].patt "$data"/[0-9][0-9][0-9].jpg
for name in Flag Fork Kite Hook; do
  "$build/app/quillmark" pattern -C "$root" --name "$name" --width 80 "$markers/$name.png"
done
# Print-ready pages: each black square exactly its catalogue width at 100 %.
number=0
for name in Flag Fork Kite Hook; do
  "$build/app/quillmark" marker -C "$root" "$number" --pdf "$markers/$name.pdf"
  number=$((number + 1))
done
# A calibration board for "quillmark calibrate --board 9x6 --square 25".
"$build/app/quillmark" calibrate --board 9x6 --square 25 --pdf "$root/docs/chessboard-9x6-25mm.pdf"
