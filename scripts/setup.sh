#!/usr/bin/env bash
# Installs what the project needs on Debian 12 (apt-get, only what is
# missing), builds the libraries, the simulator and the tool, and runs the
# tool's demonstration against the embedded simulated reader.
#
#   scripts/setup.sh              install, build, run the demo
#   scripts/setup.sh --deps-only  install only what the build and the demo need
#   scripts/setup.sh --test-deps  install also what scripts/test.sh needs (test
#                                 libraries, the Windows cross-compilers, Wine)
set -euo pipefail
cd "$(dirname "$0")/.."

# The native build, the tool (CLI11, libedit) and its manual pages (help2man).
PACKAGES=(
  cmake ninja-build g++ make pkg-config binutils
  libcli11-dev libedit-dev help2man
)
# The test suite, the benchmarks and the Debian packages (cpack).
TEST_PACKAGES=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libcrypto++-dev dpkg-dev file
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  libpcsclite-dev pcscd pcsc-tools opensc python3-pyscard
)
# Wine runs the Windows build in the tests; without it that test is skipped.
OPTIONAL_TEST_PACKAGES=(wine wine64)

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
if [[ ${1:-} == --test-deps ]]; then
  mapfile -t missing < <(missing_of "${TEST_PACKAGES[@]}")
  if ((${#missing[@]})); then install "${missing[@]}"; fi
  mapfile -t missing < <(missing_of "${OPTIONAL_TEST_PACKAGES[@]}")
  if ((${#missing[@]})); then
    install "${missing[@]}" || echo "warning: could not install ${missing[*]}; the Wine test will be skipped"
  fi
  exit 0
fi
if [[ ${1:-} == --deps-only ]]; then exit 0; fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDX_TESTS=OFF
ninja -C build/release
build/release/tools/kdx demo

kdx=build/release/tools/kdx
cat <<EOF

The tool is $kdx ("$kdx --help" lists every command). Try:
  $kdx atr                        # power the simulated CPU card on, explain its ATR
  printf 'version\\nled on\\ndoor\\n' | $kdx shell
  $kdx --reader tarsk demo        # the serial-line reader
  $kdx atr-explain "3B 02 14 50"  # any ATR, offline
Install the libraries, headers, pkg-config files, CMake package, tools and manual pages:
  cmake --install build/release --prefix ~/.local   # or, as root, without --prefix (/usr/local)
Debian packages (runtime, development, tools): (cd build/release && cpack -G DEB)
The whole test suite: scripts/test.sh
EOF
