#!/usr/bin/env bash
# Builds Quillmark, runs the operator dialog on a virtual X display (Xvfb)
# with the synthetic camera, and saves screenshots of it idle, running with
# the preview, and capturing a pattern into docs/. The dialog works in a
# scratch copy of Data/, so the shipped files stay as they are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}
out=${1:-$root/docs}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/Data" "$work/Data"
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 2400x800x24" \
  "$build/app/quillmark" -C "$work" --screenshots "$out"
