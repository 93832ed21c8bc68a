#!/usr/bin/env bash
# Builds the suites whose product code runs on more than one thread with ThreadSanitizer and runs
# them: the HTTP downloads with their digest thread (backgrounddigest, filedownload, httprun) and the
# flushes that the apply steps spread over several threads (updatebackup, updatereplacement,
# applyruns). Only those targets are built, in TSAN_BUILD_DIR (default build-tsan/).
#
# Debian's Qt is not built with the sanitizer, so the ordering its own locks give is invisible and
# it would report races inside Qt by the hundred; scripts/tsan.supp silences frames of Qt's
# libraries only. The product hands work between threads with the standard library's mutexes,
# condition variables and threads, which the sanitizer sees. Every report goes to a file (the
# suites start update.exe as a child process, whose output a test may never look at); a report
# whose stacks hold a frame of src/ fails the step, and the step prints how many there were.
# Environment: TSAN_BUILD_DIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TSAN_BUILD_DIR:-$root/build-tsan}
suites=(backgrounddigest filedownload httprun updatebackup updatereplacement applyruns)
targets=(update "${suites[@]/#/test_}")
export QT_QPA_PLATFORM=offscreen
start=$SECONDS

BUILD_DIR="$build" BUILD_TARGETS="${targets[*]}" "$root/scripts/build.sh" -DUPDATER_TSAN=ON

reports="$build/tsan-reports"
rm -rf "$reports"
mkdir -p "$reports"
# A race must not end or fail a child process: the run goes on, and the report files decide.
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:log_path=$reports/tsan:halt_on_error=0:exitcode=0:second_deadlock_stack=1"
pattern=$(IFS='|'; echo "^(${suites[*]})\$")
set +e
(cd "$build" && ctest --output-on-failure --timeout 600 -j 2 -R "$pattern")
status=$?
set -e
unset TSAN_OPTIONS

# A frame of the product's own code, by its source path (absolute or relative to a build folder).
folders=$(sed -n 's/^\([a-z][a-z ]*\)$/\1/p' "$root/src/layers.txt" | tr ' \n' '||' | sed 's/|*$//')
frame="^ +#[0-9]+ .*(^|[ /])src/($folders)/[^ :]+:[0-9]+"
total=0
ours=0
shopt -s nullglob
for file in "$reports"/tsan.*; do
  # One file per process; reports in it are separated by lines of "=".
  while IFS= read -r -d '' report; do
    grep -q 'WARNING: ThreadSanitizer' <<<"$report" || continue
    total=$((total + 1))
    if grep -Eq "$frame" <<<"$report"; then
      ours=$((ours + 1))
      echo "== thread sanitizer report of $(basename "$file") with frames of src/" >&2
      printf '%s\n' "$report" >&2
    fi
  done < <(awk 'BEGIN { RS = "\n==================\n" } { printf "%s%c", $0, 0 }' "$file")
done
echo "tsan-test: $total report(s), $ours with frames of src/, $((SECONDS - start)) s"
if [ "$ours" -ne 0 ]; then
  echo "tsan-test: the thread sanitizer build reported races in the product (above)" >&2
  exit 1
fi
exit $status
