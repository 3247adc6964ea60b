#!/usr/bin/env bash
# Quillmark on the real photographs of ../shared/realphotos (or $PHOTOS)
# against OpenCV ArUco (bench/real_photos): installs the peer libraries,
# builds with QUILLMARK_PEERS=ON into build-peers/ (or $BUILD_DIR) and runs
# it. REAL_VERBOSE=1 lists every miss, wrong identity and extra report. The
# photos are read where they lie; without them the run is skipped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
photos=${PHOTOS:-$root/../shared/realphotos}
if [ ! -d "$photos" ]; then
  echo "bench-real: no photos at $photos; skipped"
  exit 0
fi
QUILLMARK_PEERS=1 "$root/scripts/install-deps.sh"
build=${BUILD_DIR:-$root/build-peers}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMARK_PEERS=ON >/dev/null
cmake --build "$build" --target real_photos -j "$(nproc)"
"$build/bench/real_photos" "$photos"
