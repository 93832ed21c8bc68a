#!/usr/bin/env bash
# Cross-compiles the programs that run on Windows (update.exe, update-helper.exe, the small test
# programs of tests/windows and the unit suites that run under Wine) with the Windows build kit, and
# deploys every program folder with the DLLs and Qt plugins it needs.
#
# Environment: WINKIT_DIR (default ../shared/winkit beside the project), WIN_BUILD_DIR (default
# build-win/). Exits with code 3 and one line saying why when there is no kit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kit=${WINKIT_DIR:-$root/../shared/winkit}
build=${WIN_BUILD_DIR:-$root/build-win}

if [ ! -f "$kit/toolchain-mingw64.cmake" ]; then
  echo "windows-build: Windows build and runs skipped: no Windows build kit in $kit;" \
    "build one with scripts/make-winkit.sh \"$kit\" (about an hour) or point WINKIT_DIR at one"
  exit 3
fi
kit=$(cd "$kit" && pwd)

if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$kit/toolchain-mingw64.cmake" \
    -DCMAKE_CXX_FLAGS="-Wno-attributes" \
    -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 "${launcher[@]}"
fi
cmake --build "$build" -j 2

# Everything a program of bin/ needs beside it on a Windows machine without Qt or MinGW.
bin="$build/bin"
dlls=("$kit"/qt5/bin/Qt5{Core,Gui,Widgets,Network,Test}.dll)
for runtime in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  dlls+=("$(x86_64-w64-mingw32-g++-posix -print-file-name="$runtime")")
done
mkdir -p "$bin/platforms" "$bin/imageformats" "$bin/styles"
cp -u "${dlls[@]}" "$bin/"
cp -u "$kit"/qt5/plugins/platforms/{qwindows,qoffscreen}.dll "$bin/platforms/"
cp -u "$kit"/qt5/plugins/imageformats/qico.dll "$bin/imageformats/"
cp -u "$kit"/qt5/plugins/styles/qwindowsvistastyle.dll "$bin/styles/"
# The release signature is checked with libsodium.
cp -u "$kit/bin/libsodium-23.dll" "$bin/"

# The administrator manifest of res/update.rc must be linked into the program.
grep -q requireAdministrator "$bin/update.exe" || {
  echo "windows-build: update.exe carries no manifest asking for administrator rights" >&2
  exit 1
}
echo "windows-build: Windows programs and their DLLs in $bin"
