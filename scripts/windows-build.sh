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

# libzstd for Windows (the patches of the HTTP channel), cross-compiled from Debian's source package
# once and kept in the build folder: the kit does not carry it.
zstd="$build/zstd"
if [ ! -f "$zstd/bin/libzstd.dll" ]; then
  started=$(date +%s)
  rm -rf "$build/zstd-source"
  mkdir -p "$build/zstd-source"
  (
    cd "$build/zstd-source"
    if grep -rqs '^deb-src\|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      apt-get source --download-only libzstd
    else
      # A source entry of our own, in folders of our own: the machine's APT setup stays as it is.
      apt_dir="$PWD/apt"
      mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts" "$apt_dir/cache/archives/partial"
      echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
        >"$apt_dir/sources.list"
      apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
      apt-get "${apt_options[@]}" -qq update
      apt-get "${apt_options[@]}" source --download-only libzstd
    fi
    tar xf libzstd_*.orig.tar.xz
    cd zstd-*/lib
    mkdir -p dll
    make -j 2 libzstd TARGET_SYSTEM=Windows_NT CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
      ZSTD_LEGACY_SUPPORT=0 >"$build/zstd-source/make.log" 2>&1
    mkdir -p "$zstd/bin" "$zstd/lib" "$zstd/include"
    cp zstd.h zstd_errors.h zdict.h "$zstd/include/"
    cp dll/libzstd.dll.a "$zstd/lib/"
    x86_64-w64-mingw32-strip --strip-unneeded -o "$zstd/bin/libzstd.dll" dll/libzstd.dll
  )
  rm -rf "$build/zstd-source"
  echo "windows-build: libzstd for Windows built in $(($(date +%s) - started)) s (kept in $zstd)"
fi
zstd_settings=(-DZSTD_INCLUDE_DIR="$zstd/include" -DZSTD_LIBRARY="$zstd/lib/libzstd.dll.a")

if [ -f "$build/CMakeCache.txt" ] && ! grep -q "^ZSTD_LIBRARY:FILEPATH=$zstd/" "$build/CMakeCache.txt"; then
  cmake -S "$root" -B "$build" "${zstd_settings[@]}"
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$kit/toolchain-mingw64.cmake" \
    -DCMAKE_CXX_FLAGS="-Wno-attributes" \
    -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 "${zstd_settings[@]}" "${launcher[@]}"
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
# The patches of the HTTP channel are applied with libzstd.
cp -u "$zstd/bin/libzstd.dll" "$bin/"

# The administrator manifest of res/update.rc must be linked into the program.
grep -q requireAdministrator "$bin/update.exe" || {
  echo "windows-build: update.exe carries no manifest asking for administrator rights" >&2
  exit 1
}
echo "windows-build: Windows programs and their DLLs in $bin"
