#!/bin/bash
# kdx_cli.sh KDX
# The tool as a user meets it: each row gives the arguments, the exit
# status and a piece of the message expected. Runs on the embedded
# simulator, or on paths that cannot be serial ports.
set -u
kdx=$1
failures=0
check() {
  local want_status=$1 want_text=$2
  shift 2
  local output status
  output=$("$kdx" "$@" 2>&1)
  status=$?
  if [[ $status -ne $want_status || $output != *"$want_text"* ]]; then
    echo "FAIL: kdx $* gave status $status, expected $want_status with \"$want_text\":"
    echo "$output" | head -5 | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

# Bad options and arguments: status 2 from the parser, with what was wrong.
check 2 "--device: 1 required PATH missing" --device
check 2 "not expected: --bogus" --bogus demo
check 2 "--reader: foo not in" --reader foo demo
check 2 "--baud: expected a number" --baud fast version
check 2 "unknown command nosuch" nosuch
check 2 "no sample card nosuch" --card nosuch version
check 2 "unknown card nosuch" --reader tarsk --card nosuch test
check 2 "has no meaning with --device" --device /dev/ttyS0 --card cpu version
check 2 "expected a command" 
check 2 "is not an ATR" atr-explain 3B0
check 2 "begins with 3B" atr-explain 00 11
# A command refused for its arguments says what it expected.
check 1 "expected on or off" led maybe
check 1 "is not hex" apdu 00A4XX
check 1 "number of seconds" watch soon
# Ports that cannot be used: the status by name, text and the system's reason.
check 1 "status 2 ST_PORT_INIT_FAILED: cannot open the port (初始化串口失败！): /nonexistent/tty: No such file or directory" \
  --device /nonexistent/tty version
check 1 "/etc/passwd: not a serial port" --device /etc/passwd version
check 1 "status 34 ST_PORT_INIT_FAILED" --reader tarsk --device /nonexistent/tty test
# What works: --version, options after the command, hex with spaces or colons.
check 0 "kdx 1." --version
check 0 "> 4F 00 00 4F" version --trace
check 0 "9000  success" apdu "00 A4 00 00 02 00 01" 00:C0:00:00:0D
check 0 "TD1  81  TD2 follows, T=1" atr-explain 3B 80 81 10 01
# T=1 under --trace: the blocks named, per exchange and among the line's bytes.
echo40=$(printf '11%.0s' {1..40})
check 0 "< I(0,M) 32 bytes
  > R(1)
  < I(1) 10 bytes, bad EDC
  > R(1) EDC/parity error
  < I(1) 10 bytes" --reader tarsk --card t1-noisy --trace apdu 80EE0000 28 "$echo40" 00
check 0 "> FF F6 FF D4 11
                  R(1)" --reader tarsk --card t1-inverse --trace apdu 80EE0000 28 "$echo40" 00
check 0 "< S(WTX request 4)
  > S(WTX response 4)" --reader tarsk --card t1 --trace apdu 80F00BB8

# Secure memories: a fuse is blown only with --yes; counters as attempts left.
check 0 "AT153 answer to reset: 34 55 AA 05" at153-atr
check 0 "add --yes to blow it" at153-fuses
check 0 "blew FAB; fuses 0x06" at153-fuses --yes
check 1 "refused; PAC 0xFE: 7 attempts left" at1608-verify 3 000000
check 0 "authentication accepted; AAC 0xFF: 8 attempts left" at1608-auth 0123456789ABCDEF
check 1 "expected a seed of 8 bytes" at153-auth 0123
check 1 "expected a zone: 0 to 7, or config (8)" at1608-read 9

# Nothing reaches the reader for a refused argument.
output=$("$kdx" led maybe --trace 2>&1)
if grep -q '^> ' <<< "$output"; then
  echo "FAIL: kdx led maybe --trace sent frames:"
  echo "$output" | sed 's/^/    /'
  failures=$((failures + 1))
fi

# The shell keeps a CPU card powered between lines, and piped output stays
# in the order of the lines, errors included.
output=$(printf 'apdu 00A40000020001\nled maybe\napdu 00C000000D\nquit\nversion\n' | "$kdx" shell 2>&1)
expected_order=("> apdu 00A40000020001" "610D" "> led maybe" "expected on or off" "> apdu 00C000000D" "9000  success" "> quit")
rest=$output
for piece in "${expected_order[@]}"; do
  if [[ $rest != *"$piece"* ]]; then
    echo "FAIL: shell output lacks \"$piece\" in its place:"
    echo "$output" | sed 's/^/    /'
    failures=$((failures + 1))
    break
  fi
  rest=${rest#*"$piece"}
done
if [[ $output == *"reader version"* ]]; then
  echo "FAIL: the shell went on after quit"
  failures=$((failures + 1))
fi

# Memory cards: detection, a fuse only with --yes, dump and restore.
check 1 "add --yes to go ahead" at102-fuse
check 0 "fuse programmed at byte 2044" at1604-fuse --yes
check 0 "card type 0x26 (38): AT102 family probe; first two bytes 31 3A" --card at1604-313a detect
check 0 "card type 0x41 (65): SLE4428 probe; answer to reset C9 11 88 48" --card sle4428-48 detect
check 1 "not one of" --card at102 --family nosuch dump /dev/null
dump_file=$(mktemp)
trap 'rm -f "$dump_file"' EXIT
check 0 "2007 bytes of the at6601 card" --card at6601 dump "$dump_file"
output=$(printf 'at6601-write 1 0 00 1600 2=1602 6=1606\nrestore %s 1600 2=1602 6=1606\n' "$dump_file" |
  "$kdx" --card at6601 shell 2>&1)
if [[ $output != *"wrote 1 byte at 0 of zone 1"* || $output != *"restore: writing: 2007/2007 bytes"* ||
      $output != *"restored 2007 bytes to the at6601 card"* ]]; then
  echo "FAIL: write, then restore of the dump:"
  echo "$output" | grep -v 'reading' | sed 's/^/    /'
  failures=$((failures + 1))
fi
output=$("$kdx" --card at102 --family at102 restore "$dump_file" 2>&1)
if [[ $output != *"holds 2007 bytes; the card takes exactly 195"* ]]; then
  echo "FAIL: a dump of another size was not refused:"
  echo "$output" | tail -3 | sed 's/^/    /'
  failures=$((failures + 1))
fi
# AT24C and AT45D cards on the simulated reader: reads, writes read back,
# refused types, and a dump restored and verified.
check 0 "wrote 4 bytes at 0x7C; they read back the same" at24c-write 1 0x7C 01020304
check 1 "expected a TYPE of 1 to 10" at24c-read 11
check 1 "expected a LENGTH of 1 to 56" at24c-read 3 200 57
check 0 "|KDX AT45D card..|" at45d-read 3 0 0 16
check 0 "the rest of the page is kept; they read back the same" at45d-write 5 4095 260 CAFE0102
check 1 "expected a TYPE of 1 to 5" at45d-read 6 0
check 0 "status 0x94: ready; last compare: equal" at45d-status
image=$(mktemp)
trap 'rm -f "$image" "$dump_file"' EXIT
check 0 "256 bytes of AT24C type 3 in" at24c-dump 3 "$image"
check 0 "restored 256 bytes from $image; the card reads back the same" at24c-restore 3 "$image"
check 1 "holds 256 bytes; the card takes exactly 512" at24c-restore 4 "$image"
check 1 "holds 256 bytes; the card takes exactly 270336" at45d-restore 1 "$image"
check 0 "restored 256 bytes from $image" --family at24c --type 3 restore "$image"
check 1 "--family at45d needs --type N" --family at45d dump "$image"

if ((failures)); then exit 1; fi
echo "kdx: every case as expected"
