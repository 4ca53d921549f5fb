#!/usr/bin/env bash
# The whole test suite: the native build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded library under ThreadSanitizer, and
# the Windows cross-builds with their export tables.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test-deps

jobs=$(nproc)
step() { printf '\n=== %s\n' "$*"; }

step "native build, AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKDX_SANITIZE=address,undefined >/dev/null
ninja -C build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "optimised build with tests and benchmarks, each benchmark once, and the tool's demonstration"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDX_TESTS=ON -DKDX_BENCH=ON >/dev/null
ninja -C build/release -j "$jobs"
build/release/tools/kdx demo > /dev/null
build/release/tools/kdx --reader tarsk demo > /dev/null
# A smoke run: each benchmark starts and finishes; no timing is judged.
# Google Benchmark 1.7 takes the minimum time in plain seconds.
for bench in build/release/bench/*_bench; do
  if [[ $bench == *_pty_bench ]] && ! { : <> /dev/ptmx; } 2>/dev/null; then
    echo "no pseudo-terminals here: $bench skipped"
    continue
  fi
  "$bench" --benchmark_min_time=0.01 > /dev/null
done

step "Tarsk and the simulators, ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKDX_SANITIZE=thread -DKDX_LIBRARIES=tarsk -DKDX_TOOLS=OFF >/dev/null
ninja -C build/tsan -j "$jobs"
ctest --test-dir build/tsan --output-on-failure -j "$jobs"

step "the PC/SC handler (both libraries, its channels side by side), ThreadSanitizer"
cmake -S . -B build/tsan-pcsc -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKDX_SANITIZE=thread -DKDX_TOOLS=OFF >/dev/null
ninja -C build/tsan-pcsc -j "$jobs" pcsc_tests kdx_ifd
ctest --test-dir build/tsan-pcsc --output-on-failure -j "$jobs" -R '^(DeviceName|T0Mapping|HandlerTest|TarskHandlerTest|MemoryCardTest|HandlerModule)\.|^pcscd_end_to_end$'

step "32-bit Windows DLLs (mingw-w64), export tables"
cmake -S . -B build/win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake >/dev/null
ninja -C build/win32 -j "$jobs"
for library in velmor tarsk; do
  if [[ -f build/win32/$library.dll ]]; then
    tests/check_exports.sh build/win32/$library.dll build/win32/${library}_exports.txt
  fi
done

step "Windows build under Wine against the simulated reader on pseudo-terminals"
cmake -S . -B build/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake >/dev/null
ninja -C build/win64 -j "$jobs"
tests/windows/run_wine.sh build/win64 build/asan
# 32-bit Wine (wine32) is not installable everywhere; where it is, the 32-bit
# build runs the same way.
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  tests/windows/run_wine.sh build/win32 build/asan
else
  echo "32-bit Wine (wine32) is not installed: the 32-bit DLLs are checked by their export tables only"
fi

step "all tests passed"
