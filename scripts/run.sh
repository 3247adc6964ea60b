#!/usr/bin/env bash
# Builds Quillmark and runs it on its built-in synthetic camera with the
# shipped Data/: the operator dialog when a display is present, the headless
# server otherwise. It works in a folder outside the tracked files (run/
# beside them, or $QUILLMARK_HOME), seeded from Data/ on first use, so that
# running, which writes settings, catalogue and patterns, never changes the
# checkout. Extra arguments go to quillmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
work=${QUILLMARK_HOME:-$root/run}
if [ ! -d "$work/Data" ]; then
  mkdir -p "$work"
  cp -r "$root/Data" "$work/Data"
fi
quillmark="${BUILD_DIR:-$root/build}/app/quillmark"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$quillmark" -C "$work" "$@"
fi
echo "No display: running the headless server. Try: nc localhost 9950, then type all"
exec "$quillmark" --headless -C "$work" "$@"
