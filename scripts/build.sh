#!/usr/bin/env bash
# Configures and builds the updater, its tools and its tests in build/ (or $BUILD_DIR). Arguments
# are CMake settings (-DNAME=VALUE). BUILD_TARGETS (space-separated) builds only those targets and
# what they need instead of everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@"
elif [ $# -gt 0 ]; then
  # Settings given again (such as CI's warnings as errors) apply to an existing build too.
  cmake -S "$root" -B "$build" "$@"
fi
targets=()
for target in ${BUILD_TARGETS:-}; do
  targets+=(--target "$target")
done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
