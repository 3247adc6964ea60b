#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or
# $BUILD_DIR): everything, or only the targets named in $QUILLMARK_TARGETS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
. "$root/scripts/build-env.sh"
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_EXE_LINKER_FLAGS="$quillmark_link_flags" -DCMAKE_SHARED_LINKER_FLAGS="$quillmark_link_flags" "$@" >/dev/null
targets=()
for target in ${QUILLMARK_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
