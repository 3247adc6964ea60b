#!/usr/bin/env bash
# Builds Quillmark and runs it on its built-in synthetic camera with the
# shipped Data/: the operator dialog when a display is present, the headless
# server otherwise. It works in a folder outside the tracked files (run/
# beside them, or $QUILLMARK_HOME), seeded from Data/ on first use, so that
# running, which writes settings, catalogue and patterns, never changes the
# checkout. Extra arguments go to quillmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Only the program: the first run need not wait for the tests and benchmarks.
# QUILLMARK_SKIP_BUILD=1 runs the program already built (the tests do).
if [ "${QUILLMARK_SKIP_BUILD:-0}" != 1 ]; then
  QUILLMARK_TARGETS=quillmark "$root/scripts/build.sh"
fi
work=${QUILLMARK_HOME:-$root/run}
if [ ! -d "$work/Data" ]; then
  mkdir -p "$work"
  cp -r "$root/Data" "$work/Data"
fi
quillmark="${BUILD_DIR:-$root/build}/app/quillmark"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$quillmark" -C "$work" "$@"
fi
# The hint names the port of the server's own start line ("Listening on
# port N"): the settings may hold a port it refuses, and 0 lets the system
# pick one. The program keeps this process, so signals reach it directly.
echo "No display: running the headless server."
exec > >(
  trap '' INT TERM
  while IFS= read -r line; do
    printf '%s\n' "$line"
    if [[ $line =~ ^Listening\ on\ port\ ([0-9]+) ]]; then
      echo "Try: nc localhost ${BASH_REMATCH[1]}, then type all"
    fi
  done
)
exec "$quillmark" --headless -C "$work" "$@"
