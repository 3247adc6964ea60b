#!/usr/bin/env bash
# Builds everything and runs every test. GUI tests use Qt's offscreen platform.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
QUILLMARK_BROWSER=1 "$root/scripts/build.sh"
cd "${BUILD_DIR:-$root/build}"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j "$(nproc)" --timeout 300
# In CI every fuzz target also runs briefly on its seeds and kept inputs
# (about 2.5 minutes from a clean checkout, build included), the threaded
# tests run under ThreadSanitizer (about 3 minutes), and the whole suite
# runs under AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/
# (its build about 9 minutes from a cold compiler cache and about one from a
# warm one, its tests about 4 minutes).
if [ "${CI:-}" = true ]; then
  "$root/scripts/fuzz.sh" "${QUILLMARK_CI_FUZZ_SECONDS:-10}"
  "$root/scripts/sanitize.sh" tsan asan
fi
