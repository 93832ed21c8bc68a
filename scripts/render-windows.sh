#!/usr/bin/env bash
# Renders both windows of the Windows build (the TCP progress window and the HTTP dialog) with Qt's
# real Windows platform plugin under Wine on a virtual X display (Xvfb), measures the contrast of
# their texts against the artwork there (tests/ui/testwindowcontrast.cpp), and keeps the pictures
# for review. Needs the Windows build (scripts/windows-build.sh).
#   scripts/render-windows.sh [PICTURES_DIR]    (default: build-win/pictures)
# Environment: WIN_BUILD_DIR (default build-win/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win_build=${WIN_BUILD_DIR:-$root/build-win}
pictures=${1:-$win_build/pictures}
wine=/usr/lib/wine/wine64
program="$win_build/bin/test_windowcontrast.exe"
[ -f "$program" ] || { echo "render-windows: $program missing; run scripts/windows-build.sh" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "render-windows: Xvfb missing; run scripts/setup.sh" >&2; exit 1; }
mkdir -p "$pictures"
pictures=$(cd "$pictures" && pwd)

# A display number nobody uses, and a server that ends with this script.
display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export WINEPREFIX=${WINEPREFIX:-$win_build/wineprefix} WINEDEBUG=-all
trap 'timeout 30 /usr/lib/wine/wineserver -k 2>/dev/null || true; kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

# The suite's report goes to a file: under Wine its standard output does not reach this script.
report="$pictures/contrast.txt"
rm -f "$report"
status=0
DISPLAY=":$display" QT_QPA_PLATFORM=windows LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 \
  UPDATER_WINDOW_PICTURES="Z:$pictures" timeout 300 "$wine" "$program" -o "Z:$report,txt" || status=$?
grep -E '^(QINFO|FAIL!|Totals)|Loc:' "$report" | sed 's/^QINFO  : TestWindowContrast::textsAgainstTheArtwork([^)]*) /  /' || true
echo "render-windows: pictures and the contrast report in $pictures"
exit $status
