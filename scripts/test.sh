#!/usr/bin/env bash
# Sets up the machine, checks that source folders depend only downward, builds everything with
# warnings as errors, runs clang-tidy over src/ and tools/ and runs the whole test suite: once in a
# normal build, then the Windows programs built with the Windows build kit and run under Wine
# (scripts/windows-test.sh; without the kit a type-check of the Windows code), then once in a build
# with AddressSanitizer and UndefinedBehaviorSanitizer (skip it with SKIP_SANITIZE=1 while
# iterating), then the suites of the product's worker threads in a build with ThreadSanitizer
# (scripts/tsan-test.sh; SKIP_TSAN=1 skips it), then runs every fuzz target for a bounded time
# (SKIP_FUZZ=1 skips it).
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

# Folders depend only downward (src/layers.txt); checked first because it takes no build.
"$root/scripts/check-layering.sh"

build=${BUILD_DIR:-$root/build}
# Warnings fail the normal build. The sanitizer build below keeps them as warnings: the compiler
# warns differently with instrumentation, and that build is there to find faults at run time.
BUILD_DIR="$build" "$root/scripts/build.sh" -DUPDATER_WERROR=ON
BUILD_DIR="$build" "$root/scripts/clang-tidy.sh"
run_suite "$build"
# The Windows programs built with the Windows build kit and run under Wine; without the kit only a
# type-check of the Windows code, and one line saying so.
BUILD_DIR="$build" "$root/scripts/windows-test.sh"

if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
  sanitize_build=${SANITIZE_BUILD_DIR:-$root/build-sanitize}
  # The whole-run tests start update.exe, the update service and the apply driver as child
  # processes, whose reports a test may never look at: every report goes to a file of its own as
  # well, and any such file fails the run. Qt's own libraries are not instrumented; leak reports
  # from them would be noise.
  reports="$sanitize_build/sanitizer-reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
  set +e
  run_suite "$sanitize_build" -DUPDATER_SANITIZE=ON
  status=$?
  set -e
  if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
      echo "== sanitizer report $report" >&2
      cat "$report" >&2
    done
    echo "the sanitizer build reported errors (above)" >&2
    exit 1
  fi
  if [ "$status" -ne 0 ]; then
    exit "$status"
  fi
  unset ASAN_OPTIONS UBSAN_OPTIONS
fi

if [ "${SKIP_TSAN:-0}" != 1 ]; then
  # Only the suites that run product code on several threads, built alone: about six minutes.
  "$root/scripts/tsan-test.sh"
fi

if [ "${SKIP_FUZZ:-0}" != 1 ]; then
  # The fuzz targets of every parser of outside input, for a bounded time each (FUZZ_SECONDS); they
  # bring their own sanitizer settings.
  "$root/scripts/fuzz.sh"
fi
