#!/usr/bin/env bash
# Type-checks every source of the product (src/) and of tools/ as a Windows program and compiles
# the Windows resource scripts, so that code behind Q_OS_WIN and the *_win.cpp platform files cannot
# rot while every build and test runs on Linux.
#
# Method: the MinGW-w64 cross compiler in -fsyntax-only mode over Debian's Qt 5 headers. spdlog, fmt
# and libsodium are reached through a private include folder that links only their headers: adding
# /usr/include itself would bring the Linux C library headers, which clash with the Windows ones.
# libsodium's headers are the same for every target (the Windows build kit carries the same ones).
# The uic headers (ui_*.h) and moc includes come from the autogen folders of the Linux build, so run
# the Linux build first (scripts/build.sh).
#
# Environment: BUILD_DIR (default build/), WINDOWS_CHECK_JOBS (parallel compiles, default 2),
# WINDOWS_CXX, WINDOWS_WINDRES, QT5_INCLUDE_DIR.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cxx=${WINDOWS_CXX:-x86_64-w64-mingw32-g++-posix}
windres=${WINDOWS_WINDRES:-x86_64-w64-mingw32-windres}
qt=${QT5_INCLUDE_DIR:-/usr/include/x86_64-linux-gnu/qt5}
jobs=${WINDOWS_CHECK_JOBS:-2}
# A single translation unit of this size type-checks in seconds; a hang must not stall CI.
compile_timeout=300

fail() {
  echo "windows-check: $*" >&2
  exit 1
}

for tool in "$cxx" "$windres" "${cxx%g++-posix}gcc-posix"; do
  command -v "$tool" >/dev/null || fail "$tool not found; run scripts/setup.sh"
done
[ -d "$qt/QtCore" ] || fail "Qt 5 headers not found in $qt; run scripts/setup.sh"
[ -d /usr/include/spdlog ] && [ -d /usr/include/fmt ] || fail "spdlog/fmt headers missing; run scripts/setup.sh"
[ -f /usr/include/sodium.h ] && [ -d /usr/include/sodium ] || fail "libsodium headers missing; run scripts/setup.sh"
[ -d "$build" ] || fail "no Linux build in $build; run scripts/build.sh first"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/include" "$work/logs" "$work/failed"
ln -s /usr/include/spdlog "$work/include/spdlog"
ln -s /usr/include/fmt "$work/include/fmt"
ln -s /usr/include/sodium.h "$work/include/sodium.h"
ln -s /usr/include/sodium "$work/include/sodium"

cd "$root"

mapfile -t sources < <(find src tools -name '*.cpp' ! -name '*_unix.cpp' 2>/dev/null | LC_ALL=C sort)
[ ${#sources[@]} -gt 0 ] || fail "no sources found under src/ and tools/"

# Forms are compiled by uic during the Linux build; without their headers every widget source would
# fail for a reason that has nothing to do with Windows.
mapfile -t autogen_dirs < <(find "$build" -type d -path '*_autogen/include*' -prune 2>/dev/null | LC_ALL=C sort)
if [ -n "$(find src tools -name '*.ui' -print -quit 2>/dev/null)" ] &&
  [ -z "$(find "${autogen_dirs[@]}" /dev/null -name 'ui_*.h' -print -quit 2>/dev/null)" ]; then
  fail "forms exist but no ui_*.h was generated in $build; run scripts/build.sh first"
fi

flags=(-std=c++17 -fsyntax-only -Wno-attributes -Wall -Wextra
  -DSPDLOG_FMT_EXTERNAL -DSPDLOG_COMPILED_LIB
  -DQT_NO_CAST_FROM_BYTEARRAY -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_NETWORK_LIB
  -I"$root/src" -I"$work/include" -I"$qt")
for module in "$qt"/Qt*; do
  flags+=(-I"$module")
done
for dir in "${autogen_dirs[@]}"; do
  flags+=(-I"$dir")
done

# Arrays cannot be exported to the parallel workers; hand the flags over NUL-separated.
printf '%s\0' "${flags[@]}" >"$work/flags"

check_source() {
  local source=$1 log flags extra=()
  mapfile -d '' -t flags <"$work/flags"
  log="$work/logs/$(echo "$source" | tr '/' '_').log"
  # A tool's sources may include each other relative to the tool's top folder.
  case $source in
  tools/*/*) extra+=(-I"$root/$(echo "$source" | cut -d/ -f1-2)") ;;
  esac
  if ! timeout "$compile_timeout" "$cxx" "${flags[@]}" "${extra[@]}" "$source" >"$log" 2>&1; then
    touch "$work/failed/$(basename "$log")"
  fi
}
export -f check_source
export cxx work root compile_timeout

echo "windows-check: type-checking ${#sources[@]} sources as a Windows program ($cxx, $jobs at a time)"
printf '%s\0' "${sources[@]}" | xargs -0 -P "$jobs" -n 1 bash -c 'check_source "$0"'

status=0
for source in "${sources[@]}"; do
  log="$work/logs/$(echo "$source" | tr '/' '_').log"
  if [ -e "$work/failed/$(basename "$log")" ]; then
    echo "FAILED  $source"
    sed 's/^/    /' "$log"
    status=1
  elif [ -s "$log" ]; then
    echo "warning $source"
    sed 's/^/    /' "$log"
  fi
done

# The resource scripts carry the administrator manifest and the icon; windres must accept them and
# the compiled resources must really hold both.
mapfile -t scripts < <(find res -name '*.rc' 2>/dev/null | LC_ALL=C sort)
[ ${#scripts[@]} -gt 0 ] || fail "no resource script found under res/"
for script in "${scripts[@]}"; do
  out="$work/$(basename "$script" .rc).res"
  if ! (cd "$(dirname "$script")" &&
    "$windres" --preprocessor="${cxx%g++-posix}gcc-posix" --preprocessor-arg=-E \
      --preprocessor-arg=-xc-header --preprocessor-arg=-DRC_INVOKED \
      -i "$(basename "$script")" -O res -o "$out") >"$work/windres.log" 2>&1; then
    echo "FAILED  $script"
    sed 's/^/    /' "$work/windres.log"
    status=1
    continue
  fi
  "$windres" -J res -i "$out" -O rc -o "$work/decompiled.rc"
  if ! grep -q 'RT_MANIFEST' "$work/decompiled.rc" || ! grep -q 'requireAdministrator' "$out"; then
    echo "FAILED  $script: no manifest asking for administrator rights in the compiled resources"
    status=1
  fi
  if ! grep -q 'group icon' "$work/decompiled.rc"; then
    echo "FAILED  $script: no icon in the compiled resources"
    status=1
  fi
done

if [ $status -ne 0 ]; then
  echo "windows-check: the Windows build is broken (see above)" >&2
  exit 1
fi
echo "windows-check: ${#sources[@]} sources and ${#scripts[@]} resource script(s) compile for Windows"
