#!/bin/sh
# check_exports.sh LIBRARY NAMES_FILE
# Compares the export table of a shared library (ELF .so or Windows DLL) with
# the list of names it is meant to export, exactly: nothing missing, nothing
# extra, no decorated (name@N) forms.
set -eu
library=$1
expected=$2
tmp=${TMPDIR:-/tmp}/kdx-exports.$$
trap 'rm -f "$tmp".*' EXIT
case "$library" in
  *.dll)
    objdump=objdump
    command -v i686-w64-mingw32-objdump >/dev/null && objdump=i686-w64-mingw32-objdump
    "$objdump" -p "$library" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort > "$tmp.got" ;;
  *)
    nm -D --defined-only "$library" | awk '$2 ~ /^[TW]$/ {print $3}' | sort > "$tmp.got" ;;
esac
sort "$expected" | sed '/^$/d' > "$tmp.want"
if ! diff -u "$tmp.want" "$tmp.got"; then
  echo "export table of $library differs from $expected (- missing, + unexpected)" >&2
  exit 1
fi
echo "$(wc -l < "$tmp.want") exports of $(basename "$library") as listed"
