#!/bin/sh
# consume.sh BUILD_DIR SOURCE_DIR [SANITIZE]
# Installs the build into a staging folder and builds a small C program
# against the installed files twice: with pkg-config and with the CMake
# package. Then runs the installed tool, which must find the installed
# libraries by their sonames. SANITIZE: the sanitizers the libraries were
# built with, which the program then needs too.
set -eu
build=$1
source=$2
sanitize=${3:-}
stage=$(mktemp -d "${TMPDIR:-/tmp}/kdx-install.XXXXXX")
trap 'rm -rf "$stage"' EXIT
flags=""
[ -n "$sanitize" ] && flags="-fsanitize=$sanitize"
cc=${CC:-cc}

cmake --install "$build" --prefix "$stage" > "$stage/install.log"

fail() { echo "FAIL: $*" >&2; exit 1; }
libdir=$(dirname "$(find "$stage" -name libvelmor.so.1 -print -quit)")
[ -d "$libdir" ] || fail "libvelmor.so.1 not installed"
for library in velmor tarsk; do
  soname=$(readelf -d "$libdir/lib$library.so.1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$library.so.1" ] || fail "soname of lib$library is '$soname'"
  [ -f "$stage/include/$library.h" ] || fail "$library.h not installed"
done
# (the build makes them where help2man is installed, as scripts/setup.sh does)
if [ -d "$build/man" ]; then
  for page in kdx kdx-readersim; do
    [ -f "$stage/share/man/man1/$page.1" ] || fail "manual page $page.1 not installed"
  done
else
  echo "no manual pages in this build (help2man missing)"
fi

export PKG_CONFIG_PATH="$libdir/pkgconfig"
export LD_LIBRARY_PATH="$libdir"
for library in velmor tarsk; do
  upper=$(echo "$library" | tr a-z A-Z)
  # shellcheck disable=SC2046
  $cc $flags -Wall -Wextra -Werror -DUSE_$upper "$source/consumer/consumer.c" \
    $(pkg-config --cflags --libs "$library") -o "$stage/pc_$library"
  "$stage/pc_$library" > "$stage/out" || fail "pkg-config consumer of $library"
  echo "pkg-config, $library: $(cat "$stage/out")"
done

cmake -S "$source/consumer" -B "$stage/consumer-build" -DCMAKE_PREFIX_PATH="$stage" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" > "$stage/cmake.log" || { cat "$stage/cmake.log"; fail "CMake consumer configuration"; }
cmake --build "$stage/consumer-build" > "$stage/build.log" || { cat "$stage/build.log"; fail "CMake consumer build"; }
for library in velmor tarsk; do
  # The imported target brings the library's path (and its run path).
  env -u LD_LIBRARY_PATH "$stage/consumer-build/consumer_$library" > "$stage/out" || fail "CMake consumer of $library"
  echo "CMake package, $library: $(cat "$stage/out")"
done

# The installed tool loads the installed libraries, not the build tree's.
env -u LD_LIBRARY_PATH "$stage/bin/kdx" --version
env -u LD_LIBRARY_PATH "$stage/bin/kdx" version > /dev/null || fail "installed kdx version"
env -u LD_LIBRARY_PATH "$stage/bin/kdx" --reader tarsk test > /dev/null || fail "installed kdx --reader tarsk test"
