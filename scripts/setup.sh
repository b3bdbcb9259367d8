#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), then
# configures and builds into build/. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev libudev-dev
          clang libclang-rt-dev xvfb xauth g++-mingw-w64-x86-64 fonts-liberation2
          libisal-dev zlib1g-dev libqt5sql5-sqlite libqt5sql5-psql postgresql libqt5charts5-dev
          help2man dpkg-dev file lintian desktop-file-utils appstream man-db bash-completion
          ser2net openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

# clang builds everything, so the fuzz targets are built and run too.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build -j"$(nproc)"
