#!/usr/bin/env bash
# The Windows build, run for real: the session program and velmor.dll of a
# mingw-w64 build under Wine, COM1 to COM4 mapped (Wine's registry key
# HKLM\Software\Wine\Ports) to pseudo-terminals served by kdx-readersim,
# then the same program natively against libvelmor.so through the Linux
# port mapping. Both runs must pass every step, and the frames on COM1 must
# be the same, byte for byte.
#
#   tests/windows/run_wine.sh WINDOWS_BUILD NATIVE_BUILD
set -euo pipefail
windows_build=$(realpath "$1")
native_build=$(realpath "$2")

wine=$(command -v wine64 || command -v wine || true)
if [[ -z $wine ]]; then
  echo "SKIPPED: Wine is not installed, the Windows build was not run"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kdx-wine.XXXXXX")
sims=()
stop_sims() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null || true; done
  sims=()
}
cleanup() {
  stop_sims
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# COM1: a reader with an SLE4442 card; COM2: silent; COM3: stops answering
# inside the version response (ready, acknowledgement, STX, two frame bytes);
# COM4: closes its line at the same place.
start_sims() {
  local trace=$1
  local -a options=(
    "--card sle4442 --trace $trace"
    "--silent"
    "--silent-after 5"
    "--hang-up-after 5"
  )
  for port in 1 2 3 4; do
    rm -f "$work/com$port"
    # shellcheck disable=SC2086
    "$native_build/tools/kdx-readersim" --link "$work/com$port" ${options[$((port - 1))]} > /dev/null &
    sims+=($!)
  done
  for port in 1 2 3 4; do
    for _ in $(seq 100); do [[ -L $work/com$port ]] && break; sleep 0.05; done
  done
}

echo "--- native run (libvelmor.so, ports mapped with KDX_SetPortDevice)"
start_sims "$work/native-trace.txt"
native_status=0
"$native_build/tests/velmor_session" "$native_build/libvelmor.so" \
  "$work/com1" "$work/com2" "$work/com3" "$work/com4" /nonexistent/tty > "$work/native.txt" || native_status=$?
stop_sims
cat "$work/native.txt"

echo "--- Windows run (velmor.dll under $(basename "$wine"), COM1 to COM4 mapped in Wine's registry)"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
"$wine" wineboot -i > /dev/null 2>&1
for port in 1 2 3 4; do
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "COM$port" /d "$work/com$port" /f > /dev/null 2>&1
done
wineserver -w
mkdir -p "$work/app"
cp "$windows_build/tests/windows/velmor_session.exe" "$windows_build/velmor.dll" "$work/app/"
start_sims "$work/windows-trace.txt"
windows_status=0
(cd "$work/app" && "$wine" velmor_session.exe velmor.dll) 2>&1 | tr -d '\r' > "$work/windows.txt" || windows_status=$?
windows_status=${PIPESTATUS[0]:-$windows_status}
stop_sims
cat "$work/windows.txt"

failed=0
if ! grep -q '^0 step(s) failed' "$work/native.txt"; then echo "FAIL: the native run failed ($native_status)"; failed=1; fi
if ! grep -q '^0 step(s) failed' "$work/windows.txt"; then echo "FAIL: the Windows run failed"; failed=1; fi
echo "--- frames on COM1: $(wc -l < "$work/native-trace.txt") native, $(wc -l < "$work/windows-trace.txt") under Wine"
if [[ ! -s $work/native-trace.txt ]] || ! diff -u "$work/native-trace.txt" "$work/windows-trace.txt"; then
  echo "FAIL: the frames of the two runs differ"
  failed=1
else
  echo "the frames of both runs are identical"
fi
exit $failed
