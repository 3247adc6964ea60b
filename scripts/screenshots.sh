#!/usr/bin/env bash
# Builds Quillmark, runs the operator dialog on a virtual X display (Xvfb)
# with the synthetic camera, and saves screenshots into docs/: idle and
# running with the preview (the dialog's hidden --screenshots mode), and
# pattern capture with a marker under the mouse, taken through real pointer
# and key events (the Xvfb test of the dialog). The dialog works in a scratch
# copy of Data/, so the shipped files stay as they are.
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
/usr/bin/python3 "$root/tests/app/dialog_under_x_test.py" "$build/app/quillmark" "$root/Data" \
  --screenshot "$out/screenshot-capture.png"
