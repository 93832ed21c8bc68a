#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over every source of src/ and tools/ (the tests
# are left out to keep CI short); any finding fails. Needs a finished build in build/ (or
# $BUILD_DIR) for its compile_commands.json and the generated form headers.
#
# Environment: BUILD_DIR, CLANG_TIDY_JOBS (parallel runs, default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=${CLANG_TIDY_JOBS:-2}

command -v run-clang-tidy >/dev/null || {
  echo "clang-tidy: run-clang-tidy not found; run scripts/setup.sh" >&2
  exit 1
}
[ -f "$build/compile_commands.json" ] || {
  echo "clang-tidy: no $build/compile_commands.json; run scripts/build.sh first" >&2
  exit 1
}

echo "clang-tidy: checking src/ and tools/ ($jobs at a time)"
# A hang must not stall CI; the whole check takes a few minutes on two cores.
timeout 900 run-clang-tidy -quiet -j "$jobs" -p "$build" "$root/src/" "$root/tools/" >"$build/clang-tidy.log" 2>&1 || {
  # Without its colour codes, so that the CI log reads plainly.
  sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" | grep -E "error:|warning:" >&2 ||
    tail -40 "$build/clang-tidy.log" >&2
  echo "clang-tidy: findings above (whole output in $build/clang-tidy.log)" >&2
  exit 1
}
echo "clang-tidy: no findings"
