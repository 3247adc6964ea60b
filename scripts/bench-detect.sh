#!/usr/bin/env bash
# Per-frame cost of `quillmark detect` (BGR to BGRA conversion and evaluation,
# as the tracking worker does per frame) on rendered frames of three sizes
# with 1, 4 and 12 demo markers. Checks that every marker was reported.
# Uses an existing build in build/ (or $BUILD_DIR); REPEAT frames per image.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
repeat=${REPEAT:-200}
frames=$(mktemp -d)
trap 'rm -rf "$frames"' EXIT

printf "%-10s %8s %14s\n" size markers "ms per frame"
for size in 640x480 1280x720 1920x1080; do
  for count in 1 4 12; do
    image=$frames/${size}_$count.png
    "$build/tools/render_frames" "$root/Data" "${size%x*}" "${size#*x}" "$count" "$image"
    report=$("$build/app/quillmark" detect -C "$root" --fields name --repeat "$repeat" "$image" \
             2>"$frames/err")
    found=$(head -n1 <<<"$report")
    if [ "$found" != "Num= $count" ]; then
      echo "bench-detect: $size with $count markers reported \"$found\"" >&2
      exit 1
    fi
    ms=$(sed -n 's/.* \([0-9.]*\) ms per frame.*/\1/p' "$frames/err")
    printf "%-10s %8d %14s\n" "$size" "$count" "$ms"
  done
done
