#!/usr/bin/env bash
# Phantom markers (bench/negative): Quillmark with a 200-pattern catalogue on
# pictures that hold no marker, with the defaults and the opt-ins, then the
# real-photo benchmark's finds beside them. Installs the peer libraries (for
# the catalogue's tag images) and the photographs of python3-skimage and of
# Debian's wallpaper packages (QUILLMARK_PHOTOS), builds with
# QUILLMARK_PEERS=ON into build-peers/ (or $BUILD_DIR). NEGATIVE_VERBOSE=1
# lists every phantom, NEGATIVE_CROPS=DIR saves a crop of each,
# NEGATIVE_CONFIGS=a,b runs only those configurations and NEGATIVE_EVERY=N
# every Nth picture.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
QUILLMARK_PEERS=1 QUILLMARK_PHOTOS=1 "$root/scripts/install-deps.sh"
photos=${PHOTOS:-$root/../shared/realphotos}
build=${BUILD_DIR:-$root/build-peers}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMARK_PEERS=ON >/dev/null
cmake --build "$build" --target negative real_photos -j "$(nproc)"
status=0
"$build/bench/negative" "$photos" || status=$?
if [ -d "$photos" ]; then
  "$build/bench/real_photos" "$photos" | sed -n '/^all sets/,$p'
fi
exit $status
