#!/bin/sh
# check_symbolic.sh LIBRARY NAMES_FILE
# A library that shares export names with another must bind its own calls
# to its own definitions: linked with -Bsymbolic (DT_FLAGS SYMBOLIC), and no
# dynamic relocation of the library refers to one of its own exports, so
# nothing of another library loaded in the same process can take their place.
set -eu
library=$1
names=$2
if ! readelf -dW "$library" | grep -q 'FLAGS.*SYMBOLIC'; then
  echo "$library is not linked with -Bsymbolic" >&2
  exit 1
fi
sorted=${TMPDIR:-/tmp}/kdx-names.$$
trap 'rm -f "$sorted"' EXIT
sort -u "$names" > "$sorted"
interposable=$(readelf -rW "$library" | awk 'NF >= 5 {print $5}' | sed 's/@.*//' | sort -u | comm -12 - "$sorted")
if [ -n "$interposable" ]; then
  echo "$library resolves its own exports through the dynamic linker: $interposable" >&2
  exit 1
fi
echo "$(basename "$library") binds its $(wc -l < "$sorted") exports to itself"
