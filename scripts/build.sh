#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or
# $BUILD_DIR): everything, or only the targets named in $QUILLMARK_TARGETS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# Builds in every folder and checkout share one compiler cache: paths below
# the checkout are hashed relative to it.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$root"
fi
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
targets=()
for target in ${QUILLMARK_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
