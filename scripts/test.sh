#!/usr/bin/env bash
# Sets up the machine, builds everything, type-checks the Windows build and runs the whole test
# suite: once in a normal build and once in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (skip the latter with SKIP_SANITIZE=1 while iterating), then fuzzes
# the wire codec (SKIP_FUZZ=1 skips it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen

run_suite() {
  local build=$1
  shift
  BUILD_DIR="$build" "$root/scripts/build.sh" "$@"
  (cd "$build" && ctest --output-on-failure --timeout 600 -j 2)
}

build=${BUILD_DIR:-$root/build}
BUILD_DIR="$build" "$root/scripts/build.sh"
# The Windows branches are never compiled on this machine; type-check them against the generated
# headers of the build that just finished.
BUILD_DIR="$build" "$root/scripts/windows-check.sh"
run_suite "$build"

if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
  # Qt's own libraries are not instrumented; leak reports from them would be noise.
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite "${SANITIZE_BUILD_DIR:-$root/build-sanitize}" -DUPDATER_SANITIZE=ON
fi

if [ "${SKIP_FUZZ:-0}" != 1 ]; then
  # The wire codec's fuzz targets, for a bounded time each (FUZZ_SECONDS); they bring their own
  # sanitizer settings.
  env -u ASAN_OPTIONS -u UBSAN_OPTIONS "$root/scripts/fuzz.sh"
fi
