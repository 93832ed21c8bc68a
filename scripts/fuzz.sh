#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each for a bounded time, starting from
# the seeds committed under fuzz/corpus/<target without "fuzz_">.
#   FUZZ_SECONDS   run time per target (default 30: about three and a half minutes for all seven)
#   FUZZ_BUILD_DIR build folder (default build-fuzz/)
# A crash, a sanitizer report, a slow input or a memory blow-up fails the script; the input that
# caused it is kept in the build folder under artifacts/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=(fuzz_frames fuzz_decoders fuzz_md5list fuzz_config fuzz_manifest fuzz_releasemanifest fuzz_patchindex)

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root/fuzz" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j 2

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/${target#fuzz_}"
  # New inputs go to a scratch corpus so that the committed seeds stay as they are.
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  log="$build/$target.log"
  echo "== $target for ${seconds}s"
  # A target may have a dictionary of its syntax's tokens beside its seeds.
  dict=()
  [ -f "$root/fuzz/${target#fuzz_}.dict" ] && dict=(-dict="$root/fuzz/${target#fuzz_}.dict")
  set +e
  timeout --kill-after=10 $((seconds + 60)) "$build/$target" "$work" "$seeds" "${dict[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=8192 \
    -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 >"$log" 2>&1
  status=$?
  set -e
  rm -rf "$work"
  trap - EXIT
  if [ "$status" -ne 0 ]; then
    tail -n 80 "$log" >&2
    echo "$target failed (exit $status); full log $log, inputs in $build/artifacts/" >&2
    exit "$status"
  fi
  grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$log"
done
