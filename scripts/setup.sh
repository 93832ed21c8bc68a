#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format clang-tidy
  qtbase5-dev qtbase5-dev-tools libqt5network5
  libspdlog-dev libfmt-dev libsodium-dev libzstd-dev zstd
  nginx-light openssl curl procps python3
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  clang libclang-rt-14-dev
  libbenchmark-dev time
  wine64 xvfb fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Windows runs under Wine take their code page from the locale: a Chinese one gives code page
# 936 (GBK) as on a Chinese Windows, a Western one code page 1252.
for locale in zh_CN en_US; do
  if ! locale -a 2>/dev/null | grep -qx "$locale.utf8"; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
  fi
done
