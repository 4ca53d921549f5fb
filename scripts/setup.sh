#!/usr/bin/env bash
# Installs what the project needs on Debian 12 (apt-get, only what is
# missing), builds the libraries, the simulator and the tool, and runs the
# tool's demonstration against the embedded simulated reader.
#
#   scripts/setup.sh              install, build, run the demo
#   scripts/setup.sh --deps-only  install only
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake ninja-build g++ make pkg-config binutils
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libcrypto++-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  if ! "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    "${sudo_cmd[@]}" apt-get update
    "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

if [[ ${1:-} == --deps-only ]]; then exit 0; fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDX_TESTS=OFF
ninja -C build/release
if [[ -x build/release/tools/kdx ]]; then
  build/release/tools/kdx demo
fi
