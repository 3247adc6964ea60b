#!/usr/bin/env bash
# Runs the tests under the sanitizers:
#   asan  the whole project built by clang with AddressSanitizer and
#         UndefinedBehaviorSanitizer (build-asan/, or $ASAN_BUILD_DIR, the
#         build scripts/fuzz.sh runs the fuzz targets from), every test;
#   tsan  built with ThreadSanitizer (build-tsan/, or $TSAN_BUILD_DIR), the
#         threaded tests: protocol, server, TUIO and MQTT outputs, camera,
#         reports, tracking worker, capture worker, dialog and headless server.
#   scripts/sanitize.sh [--build | --run] [asan] [tsan]   (both when none is named)
# --build only builds, --run only runs what was built (CI times them apart).
# Any sanitizer report fails the test that caused it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_step=1 run_step=1
case ${1:-} in
  --build) run_step=0; shift ;;
  --run) build_step=0; shift ;;
esac
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(asan tsan)
QUILLMARK_FUZZ=1 "$root/scripts/install-deps.sh"
. "$root/scripts/build-env.sh"
export QT_QPA_PLATFORM=offscreen

for kind in "${kinds[@]}"; do
  start=$SECONDS
  case $kind in
    asan)
      build=${ASAN_BUILD_DIR:-$root/build-asan}
      if [ $build_step = 1 ]; then
        configure_asan_build "$build"
        cmake --build "$build" -j "$(nproc)"
        # Leaks inside the uninstrumented system libraries (fontconfig, Qt's
        # platform plugins) are theirs, not ours. Graphics drivers are kept
        # loaded to the end (keep_drivers.c), so the rule naming them still
        # matches; the keeper goes before the sanitizer's runtime.
        cc -shared -fPIC -O2 -o "$build/keep_drivers.so" "$root/scripts/sanitize/keep_drivers.c" -ldl
      fi
      if [ $run_step = 1 ]; then
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:verify_asan_link_order=0
        export LSAN_OPTIONS=suppressions=$root/scripts/sanitize/lsan.supp:print_suppressions=0
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        # Two tests measure what this build changes by design: the recorded
        # detection digests are the release build's arithmetic, which clang
        # does not reproduce bit for bit, and the descriptor-limit test counts
        # descriptors the sanitizer's runtime needs too. Both run in the
        # plain suite.
        (cd "$build" && LD_PRELOAD="$build/keep_drivers.so" ctest --output-on-failure -j "$(nproc)" --timeout 600 \
          -E '^(server_limits|Scenes/BitIdenticalTest\..*)$')
      fi
      ;;
    tsan)
      build=${TSAN_BUILD_DIR:-$root/build-tsan}
      threaded=(net_tests tracking_tests capture_tests app_tests)
      if [ $build_step = 1 ]; then
        # Boost.Asio's fences are beyond ThreadSanitizer; its warning says so
        # per file. Only the test files that run threads of the system are
        # built (their folders' CMakeLists.txt name them THREADED).
        flags="-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan"
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_BENCH=OFF \
          -DQUILLMARK_THREADED_TESTS_ONLY=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
          -DCMAKE_EXE_LINKER_FLAGS="$flags $quillmark_link_flags" \
          -DCMAKE_SHARED_LINKER_FLAGS="$flags $quillmark_link_flags" >/dev/null
        cmake --build "$build" -j "$(nproc)" --target quillmark "${threaded[@]}"
      fi
      if [ $run_step = 1 ]; then
        export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/sanitize/tsan.supp"
        for test in "${threaded[@]}"; do
          echo "== $test"
          # From the build folder, as ctest runs them: a headless server
          # started by a test must not read the checkout's own Data/.
          (cd "$build/tests" && "./$test" --gtest_brief=1)
        done
      fi
      ;;
    *)
      echo "sanitize: unknown kind $kind (asan or tsan)" >&2
      exit 2
      ;;
  esac
  echo "sanitize: $kind passed in $((SECONDS - start)) s"
done
