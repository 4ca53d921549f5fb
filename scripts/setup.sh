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
)
# Wine runs the Windows build in the tests; without it that test is skipped.
OPTIONAL_PACKAGES=(wine wine64)

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

missing_of() {
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      echo "$package"
    fi
  done
}

# Installs the packages given, refreshing the package lists once if needed.
install() {
  echo "Installing: $*"
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "$@" && return 0
  "${sudo_cmd[@]}" apt-get update && "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "$@"
}

mapfile -t missing < <(missing_of "${PACKAGES[@]}")
if ((${#missing[@]})); then install "${missing[@]}"; fi
mapfile -t missing < <(missing_of "${OPTIONAL_PACKAGES[@]}")
if ((${#missing[@]})); then
  install "${missing[@]}" || echo "warning: could not install ${missing[*]}; the Wine test will be skipped"
fi

if [[ ${1:-} == --deps-only ]]; then exit 0; fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDX_TESTS=OFF
ninja -C build/release
if [[ -x build/release/tools/kdx ]]; then
  build/release/tools/kdx demo
fi
