#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing,
# and those named as arguments (setup.sh <package>...).
# Safe to run again: packages already present are left alone and nothing is downloaded.
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config python3
  qtbase5-dev libqt5serialport5-dev libudev-dev
  binutils-mingw-w64-x86-64 mingw-w64-common
  fonts-wqy-microhei
  libbenchmark-dev
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
