#!/usr/bin/env bash
# Builds the Windows programs with the Windows build kit (scripts/windows-build.sh) and runs them
# under Wine: the unit suites of the Windows build through CTest's cross-compiling emulator, then the
# whole runs of tests/windows (driven by the Linux build in BUILD_DIR, default build/, which must be
# built already) against the reference update service and nginx, and renders both windows under
# Xvfb (scripts/render-windows.sh: pictures and the contrast of their texts).
#
# Without a kit (a clone without ../shared) it only type-checks the Windows code
# (scripts/windows-check.sh), prints one line saying why the runs were skipped and how to build a
# kit, and succeeds.
# Environment: WIN_BUILD_DIR (default build-win/), WINKIT_DIR, BUILD_DIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
win_build=${WIN_BUILD_DIR:-$root/build-win}
wine=/usr/lib/wine/wine64

set +e
"$root/scripts/windows-build.sh"
status=$?
set -e
if [ "$status" -eq 3 ]; then
  BUILD_DIR="$build" "$root/scripts/windows-check.sh"
  exit 0
elif [ "$status" -ne 0 ]; then
  exit "$status"
fi
[ -x "$wine" ] || { echo "windows-test: $wine missing; run scripts/setup.sh" >&2; exit 1; }

# A prefix of the tests' own, made once per build folder (about 15 s). Wine's cmd.exe has no
# timeout command, which the delayed-start batch uses: the prefix gets a stand-in built from
# tests/windows/programs. The product itself is never changed for Wine.
export WINEPREFIX="$win_build/wineprefix" WINEDEBUG=-all UPDATER_WINE="$wine"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true
  timeout 60 /usr/lib/wine/wineserver -w || true
fi
cp -u "$win_build/bin/timeout.exe" "$WINEPREFIX/drive_c/windows/system32/timeout.exe"

status=0
echo "windows-test: unit suites of the Windows build under Wine"
mkdir -p "$win_build/Testing/suites"
rm -f "$win_build"/Testing/suites/*.txt
if ! (cd "$win_build" && ctest --timeout 300 -j 2); then
  status=1
  for report in "$win_build"/Testing/suites/*.txt; do
    grep -q '^FAIL!' "$report" && cat "$report"
  done
fi

echo "windows-test: whole runs of the Windows programs under Wine"
UPDATER_WINDOWS_BIN="$win_build/bin" timeout 900 "$build/bin/test_wineruns" || status=1
/usr/lib/wine/wineserver -k 2>/dev/null || true

echo "windows-test: both windows rendered with the Windows platform plugin under Xvfb"
WIN_BUILD_DIR="$win_build" "$root/scripts/render-windows.sh" || status=1
exit $status
