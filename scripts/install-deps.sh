#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Installs nothing when all of them are present. Run as root (or with sudo).
set -euo pipefail

PACKAGES=(
  # toolchain
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config
  # libraries
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  qt6-base-dev libusb-1.0-0-dev
  # the emulated USB bench of the tests (umockdev's preload library and testbed)
  umockdev libumockdev-dev
  # fonts: a Latin face with clear punctuation at 9 points, one with Hangul
  # glyphs for the Korean texts; desktop integration
  fonts-liberation2 fonts-nanum shared-mime-info
  # the Windows build: the mingw-w64 cross compiler (posix threads), GoogleTest's
  # sources to build for it, and wine64 to run it (the tests call
  # /usr/lib/wine/wine64 directly: the wine package with /usr/bin/wine is not needed)
  g++-mingw-w64-x86-64-posix googletest wine64
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
