#!/usr/bin/env bash
# Builds the Windows build kit that scripts/windows-build.sh uses, from Debian 12's own source
# packages: Qt 5.15 qtbase for 64-bit Windows (MinGW-w64, posix threads, shared, release), the spdlog
# and fmt headers with a header-only CMake package for them, libsodium for Windows, and the CMake
# toolchain file. About an hour on 2 cores; run as root on Debian 12 with a deb-src entry for
# bookworm main in the APT sources.
#   scripts/make-winkit.sh OUTPUT_DIR     (scripts/windows-build.sh looks in ../shared/winkit, or
#                                          in WINKIT_DIR)
set -euo pipefail
out=${1:?usage: make-winkit.sh OUTPUT_DIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libspdlog-dev libfmt-dev dpkg-dev \
  autoconf automake libtool python3
if ! grep -rqs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "make-winkit: no deb-src entry in the APT sources; add one for bookworm main and run again" >&2
  exit 1
fi

# Qt: Debian's source package of qtbase, configured for Windows.
(
  cd "$work"
  apt-get source --download-only qtbase-opensource-src
  tar xf qtbase-opensource-src_*.orig.tar.xz
  cd qtbase-everywhere-src-*
  # The Debian source drops the Wintab SDK headers: the Windows platform plugin goes without tablet
  # input.
  win=src/plugins/platforms/windows
  for f in $(grep -l "QT_CONFIG(tabletevent)" $win/*.cpp $win/*.h | grep -v qwindowstabletsupport); do
    sed -i 's/QT_CONFIG(tabletevent)/0/g' "$f"
  done
  python3 - "$win/windows.pri" <<'PY'
import re, sys
path = sys.argv[1]
text = open(path).read()
open(path, "w").write(re.sub(r"qtConfig\(tabletevent\) \{[^}]*\}", "", text))
PY
  ./configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- -prefix "$out/qt5" \
    -opensource -confirm-license -release -shared -nomake examples -nomake tests -no-opengl -no-dbus \
    -no-icu -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-harfbuzz -qt-freetype -no-openssl \
    -no-sql-sqlite -no-sql-odbc -no-feature-sql -no-feature-vulkan -no-direct2d
  make -j"$(nproc)" sub-src
  make install
)
rm -rf "$out/qt5/doc" "$out/qt5/bin/qlalr" "$out/qt5/bin/qvkgen" "$out/qt5/bin/tracegen" \
  "$out/qt5/bin/fixqt4headers.pl" "$out"/qt5/lib/libQt5Bootstrap.*
find "$out/qt5" -name '*.dll' -exec x86_64-w64-mingw32-strip --strip-unneeded {} \;
find "$out/qt5" -name '*.a' -exec x86_64-w64-mingw32-strip --strip-debug {} \;
strip "$out/qt5/bin/qmake"

# spdlog and fmt: Debian's headers, used header-only.
mkdir -p "$out/include" "$out/cmake/spdlog"
cp -a /usr/include/spdlog /usr/include/fmt "$out/include/"
cat >"$out/cmake/spdlog/spdlogConfig.cmake" <<'CMAKE'
# spdlog and fmt as header-only libraries for the Windows cross build (headers in ../../include).
if(NOT TARGET spdlog::spdlog)
  get_filename_component(_winkit_include "${CMAKE_CURRENT_LIST_DIR}/../../include" ABSOLUTE)
  add_library(spdlog::spdlog INTERFACE IMPORTED)
  set_target_properties(spdlog::spdlog PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_winkit_include}"
    INTERFACE_COMPILE_DEFINITIONS "SPDLOG_FMT_EXTERNAL;FMT_HEADER_ONLY")
endif()
set(spdlog_FOUND TRUE)
CMAKE
version=$(dpkg-query -W -f='${Version}' libspdlog-dev | sed 's/^[0-9]*://; s/[-+~].*//')
cat >"$out/cmake/spdlog/spdlogConfigVersion.cmake" <<CMAKE
set(PACKAGE_VERSION "$version")
set(PACKAGE_VERSION_COMPATIBLE TRUE)
if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION)
  set(PACKAGE_VERSION_EXACT TRUE)
endif()
CMAKE

# libsodium for Windows, from Debian's source package.
(
  cd "$work"
  apt-get source --download-only libsodium
  tar xf libsodium_*.orig.tar.gz
  cd libsodium-*/
  ./autogen.sh -s
  ./configure --host=x86_64-w64-mingw32 --prefix="$work/sodium" --disable-static --enable-shared \
    CC=x86_64-w64-mingw32-gcc-posix
  make -j"$(nproc)"
  make install
)
mkdir -p "$out/bin" "$out/lib/pkgconfig"
cp "$work"/sodium/bin/libsodium-*.dll "$out/bin/"
x86_64-w64-mingw32-strip --strip-unneeded "$out"/bin/libsodium-*.dll
cp "$work/sodium/lib/libsodium.dll.a" "$out/lib/"
cp -a "$work/sodium/include/sodium.h" "$work/sodium/include/sodium" "$out/include/"
sed 's|^prefix=.*|prefix=${pcfiledir}/../..|' "$work/sodium/lib/pkgconfig/libsodium.pc" >"$out/lib/pkgconfig/libsodium.pc"

# The toolchain file: Debian's MinGW-w64 compilers, and this kit as the search root.
cat >"$out/toolchain-mingw64.cmake" <<'CMAKE'
# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads) and the Qt 5.15 kit
# beside this file. Use: cmake -DCMAKE_TOOLCHAIN_FILE=<kit>/toolchain-mingw64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
get_filename_component(WINKIT_ROOT "${CMAKE_CURRENT_LIST_DIR}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${WINKIT_ROOT}/qt5" "${WINKIT_ROOT}")
set(CMAKE_PREFIX_PATH "${WINKIT_ROOT}/qt5" "${WINKIT_ROOT}/cmake")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE
echo "make-winkit: kit written to $out"
