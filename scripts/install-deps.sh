#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config file
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libexpat1-dev libsqlite3-dev sqlite3 libcurl4-openssl-dev libhttp-parser-dev
  libsystemd-dev python3-dbusmock dbus-daemon
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 wine64
  wixl msitools
)

# The product is a 32-bit program: its tests run under 32-bit Wine.
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
updated=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  "${sudo_cmd[@]}" apt-get update -qq
  updated=1
fi
packages+=(wine32:i386)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  if ((updated == 0)); then "${sudo_cmd[@]}" apt-get update -qq; fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
