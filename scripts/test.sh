#!/usr/bin/env bash
# Builds everything and runs every test. GUI tests use Qt's offscreen platform.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "${BUILD_DIR:-$root/build}"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j "$(nproc)" --timeout 300
# In CI every fuzz target also runs briefly on its seeds and kept inputs
# (about 2.5 minutes from a clean checkout, build included), and the
# threaded tests run under ThreadSanitizer (about 3 minutes). The whole
# suite under AddressSanitizer needs a second full build and is left to
# scripts/sanitize.sh asan.
if [ "${CI:-}" = true ]; then
  "$root/scripts/fuzz.sh" "${QUILLMARK_CI_FUZZ_SECONDS:-10}"
  "$root/scripts/sanitize.sh" tsan
fi
