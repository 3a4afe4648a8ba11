#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: quiet and fast when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3
  libboost-program-options1.81-dev libboost-filesystem1.81-dev libboost1.81-dev
  libgtest-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb
  clang libclang-rt-14-dev
  strace gnuplot-nox time
  librsvg2-bin icoutils python3-pefile patchutils
  zip osslsigncode openssl libssl-dev
  libcurl4-openssl-dev libboost-json1.81-dev nginx-light
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
