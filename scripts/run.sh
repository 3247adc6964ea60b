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
QUILLMARK_TARGETS=quillmark "$root/scripts/build.sh"
work=${QUILLMARK_HOME:-$root/run}
if [ ! -d "$work/Data" ]; then
  mkdir -p "$work"
  cp -r "$root/Data" "$work/Data"
fi
quillmark="${BUILD_DIR:-$root/build}/app/quillmark"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$quillmark" -C "$work" "$@"
fi
# The port the server will use: --port among the arguments, else the
# settings' [Port] (the last one counts), where 0 lets the system pick.
port=$(awk '{ for (i = 1; i < NF; ++i) if ($i == "[Port]") p = $(i + 1) } END { print p + 0 }' \
  "$work/Data/config.txt" 2>/dev/null || echo 0)
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; ++i)); do
  [ "${args[i]}" = --port ] && port=${args[i + 1]}
done
if [ "$port" = 0 ]; then
  echo "No display: running the headless server. Try: nc localhost PORT (the port on the Listening line below), then type all"
else
  echo "No display: running the headless server. Try: nc localhost $port, then type all"
fi
exec "$quillmark" --headless -C "$work" "$@"
