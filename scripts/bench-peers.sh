#!/usr/bin/env bash
# Quillmark side by side with OpenCV's ArUco module and AprilTag 3 (bench/peers):
# installs the peer libraries, builds with QUILLMARK_PEERS=ON into build-peers/
# (or $BUILD_DIR) and runs the benchmark. FRAMES frames per set (6), and
# PEERS_SECONDS of timing per detector and set (0.6); PEERS_VERBOSE=1 lists
# every miss and false detection. Takes a few minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
QUILLMARK_PEERS=1 "$root/scripts/install-deps.sh"
build=${BUILD_DIR:-$root/build-peers}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMARK_PEERS=ON >/dev/null
cmake --build "$build" --target peers -j "$(nproc)"
"$build/bench/peers" "${FRAMES:-6}"
