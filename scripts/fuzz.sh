#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer throughout) into build-asan/ (or
# $FUZZ_BUILD_DIR; the build scripts/sanitize.sh asan runs the suite in),
# then runs each target on its corpus for SECONDS.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     SECONDS defaults to 60
# The corpus of a target grows in build-asan/corpus/TARGET; it starts from
# seeds made by make_fuzz_corpus and from the inputs kept as regression
# tests in tests/fuzz/inputs/TARGET. An input that crashes, hangs
# or trips a sanitizer is saved in build-asan/artifacts/TARGET/; copy it
# into tests/fuzz/inputs/TARGET/ once the fault is fixed.
# Exits 1 when any target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
[ ${#targets[@]} -eq 0 ] &&
  targets=(command_dialogue config_file catalogue_file pattern_file camera_file detector calibration_file)

QUILLMARK_FUZZ=1 "$root/scripts/install-deps.sh"
. "$root/scripts/build-env.sh"
build=${FUZZ_BUILD_DIR:-${ASAN_BUILD_DIR:-$root/build-asan}}
configure_asan_build "$build"
cmake --build "$build" -j "$(nproc)" --target make_fuzz_corpus "${targets[@]/#/fuzz_}"

rm -rf "$build/seeds"
"$build/fuzz/make_fuzz_corpus" "$build/seeds"
# The targets work in scratch folders; one that crashes leaves its folder
# behind, so they all live under one that goes at the end.
TMPDIR=$(mktemp -d)
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

failed=()
printf "%-18s %8s %10s %8s  %s\n" target seconds runs exec/s result
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  kept=$root/tests/fuzz/inputs/$target
  mkdir -p "$corpus" "$artifacts"
  dirs=("$corpus" "$build/seeds/$target")
  [ -d "$kept" ] && dirs+=("$kept")
  log=$build/fuzz-$target.log
  status=0
  # Standard output carries the readers' diagnostics; only libFuzzer's
  # report (standard error) is kept.
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dirs[@]}" >"$log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  if [ "$status" -eq 0 ]; then
    result=clean
  else
    result="FAULT (see $log and $artifacts/)"
    failed+=("$target")
  fi
  printf "%-18s %8s %10s %8s  %s\n" "$target" "$seconds" "${runs:-?}" "${speed:-?}" "$result"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: faults found by ${failed[*]}" >&2
  exit 1
fi
