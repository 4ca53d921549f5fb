#!/bin/bash
# pcscd with the handler and a private configuration of simulated readers,
# then pcsc_scan, opensc-tool and a pyscard script against them.
#
# Usage: pcscd_e2e.sh HANDLER TARSK_LIBRARY SANITIZERS
# Exit 77 (skipped) when pcscd or the client tools are missing, or pcscd
# cannot be started here; it says why.
set -u
handler=$1
tarsk=$2
sanitize=${3:-}
here=$(cd "$(dirname "$0")" && pwd)

skip() { echo "SKIPPED: $*"; exit 77; }
for tool in pcscd pcsc_scan opensc-tool; do
  command -v "$tool" > /dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
done
/usr/bin/python3 -c "import smartcard" 2> /dev/null || skip "python3-pyscard is not installed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/conf"
cat > "$work/conf/kdx" <<CONF
FRIENDLYNAME "KDX T0"
DEVICENAME   sim:velmor:card=cpu
LIBPATH      $handler

FRIENDLYNAME "KDX SLE4442"
DEVICENAME   sim:velmor:card=sle4442
LIBPATH      $handler

FRIENDLYNAME "KDX T1"
DEVICENAME   sim:tarsk:card=t1
LIBPATH      $handler

FRIENDLYNAME "KDX AT1604"
DEVICENAME   sim:velmor:card=at1604
LIBPATH      $handler
CONF

t1_flag=""
if nm -D --defined-only "$tarsk" 2> /dev/null | grep -qw CPU_TransmitT1; then t1_flag=--t1-apdus; fi

# pcscd under the sanitizers of the handler it loads.
preload=""
if [[ $sanitize == *address* ]]; then preload="$(gcc -print-file-name=libasan.so)"; fi
if [[ $sanitize == *undefined* ]]; then preload="$preload $(gcc -print-file-name=libubsan.so)"; fi
if [[ $sanitize == *thread* ]]; then preload="$(gcc -print-file-name=libtsan.so)"; fi

# What runs inside the private /run: the daemon, then the clients.
session() {
  env ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$preload" pcscd --foreground --debug --config "$work/conf" \
    > "$work/pcscd.log" 2>&1 &
  local daemon=$!
  local waited=0
  # Bound: 100 polls of 0.1 s for the daemon's socket.
  while [[ ! -S /run/pcscd/pcscd.comm ]] && (( waited < 100 )) && kill -0 "$daemon" 2> /dev/null; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [[ ! -S /run/pcscd/pcscd.comm ]]; then
    kill "$daemon" 2> /dev/null
    echo "pcscd did not start:"; tail -5 "$work/pcscd.log"
    return 77
  fi
  local status=0
  {
    echo "== pcsc_scan -r"; timeout 10 pcsc_scan -r
    echo "== pcsc_scan -t 2"; timeout 10 pcsc_scan -t 2 -n
    echo "== opensc-tool --list-readers"; timeout 20 opensc-tool --list-readers
    echo "== opensc-tool -r 0 -a"; timeout 20 opensc-tool -r 0 -a
    echo "== opensc-tool -r 0 -s"; timeout 20 opensc-tool -r 0 -s 00:A4:00:00:02:00:01:00
  } > "$work/clients.log" 2>&1
  cat "$work/clients.log"
  grep -q "KDX T0" "$work/clients.log" && grep -q "KDX SLE4442" "$work/clients.log" && grep -q "KDX T1" "$work/clients.log" && grep -q "KDX AT1604" "$work/clients.log" \
    || { echo "FAILED: the readers are not all listed"; status=1; }
  grep -q "3B:68:00:00:4B:44:58:2D:43:50:55:31\|3b:68:00:00:4b:44:58:2d:43:50:55:31" "$work/clients.log" \
    || { echo "FAILED: opensc-tool -a did not print the T=0 card's ATR"; status=1; }
  grep -qi "62 0B 82 01 01 83 02 00 01 80 02 00 22" "$work/clients.log" && grep -qi "SW1=0x90, SW2=0x00" "$work/clients.log" \
    || { echo "FAILED: opensc-tool -s did not print the SELECT's answer"; status=1; }
  echo "== pyscard"
  timeout 60 /usr/bin/python3 "$here/pyscard_check.py" $t1_flag || status=1
  kill "$daemon"
  wait "$daemon"
  local daemon_status=$?
  if grep -q "ERROR: AddressSanitizer\|runtime error:\|WARNING: ThreadSanitizer" "$work/pcscd.log"; then
    echo "FAILED: the sanitizers reported in pcscd:"; grep -A40 "AddressSanitizer\|runtime error:\|ThreadSanitizer" "$work/pcscd.log" | head -120
    status=1
  fi
  echo "pcscd ended with $daemon_status"
  if (( daemon_status != 0 )); then echo "FAILED: pcscd did not end cleanly"; status=1; fi
  if (( status != 0 )); then echo "== pcscd log"; tail -60 "$work/pcscd.log"; fi
  return $status
}
export -f session
export work preload t1_flag here

# A private /run (mount namespace) keeps the daemon's fixed socket apart from
# any pcscd of the machine; without one, a running pcscd means a skip.
if unshare --mount true 2> /dev/null; then
  unshare --mount bash -c 'mount -t tmpfs kdx-pcscd /run && session'
  status=$?
else
  [[ -e /run/pcscd/pcscd.comm ]] && skip "another pcscd holds /run/pcscd/pcscd.comm and no private mount namespace is allowed"
  session
  status=$?
fi
(( status == 77 )) && skip "pcscd could not be started on this machine"
exit $status
