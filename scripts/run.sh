#!/usr/bin/env bash
# Builds Quillmark and runs it on its built-in defaults in a working folder
# outside the source tree (run/ beside it, seeded from Data/ on first use),
# so running never changes the checkout. Extra arguments go to quillmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
work=${QUILLMARK_HOME:-$root/run}
if [ ! -d "$work/Data" ]; then
  mkdir -p "$work"
  cp -r "$root/Data" "$work/Data"
fi
exec "${BUILD_DIR:-$root/build}/app/quillmark" --headless -C "$work" --camera none "$@"
