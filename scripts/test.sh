#!/usr/bin/env bash
# Builds everything and runs every test. GUI tests use Qt's offscreen
# platform. CI (.ci/run) runs this first, then the fuzz targets and the
# sanitizers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
QUILLMARK_BROWSER=1 "$root/scripts/build.sh"
cd "${BUILD_DIR:-$root/build}"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j "$(nproc)" --timeout 300
