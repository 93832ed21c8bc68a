#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: once in a normal build and
# once in a build with AddressSanitizer and UndefinedBehaviorSanitizer (skip the latter with
# SKIP_SANITIZE=1 while iterating).
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

run_suite "${BUILD_DIR:-$root/build}"

if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
  # Qt's own libraries are not instrumented; leak reports from them would be noise.
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite "${SANITIZE_BUILD_DIR:-$root/build-sanitize}" -DUPDATER_SANITIZE=ON
fi
