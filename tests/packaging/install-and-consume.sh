#!/bin/sh
# Installs the build to a temporary prefix, moves that prefix elsewhere (an
# installation must not depend on where it was first put), then checks that
# hiddfu runs from it without LD_LIBRARY_PATH, that the library carries its
# SONAME, and that a program builds against the installation both with
# find_package(hiddfu) and with pkg-config and runs.
#
# usage: install-and-consume.sh BUILD_DIR WORK_DIR "EXPECTED LIBRARY VERSION TEXT"
set -eu
build_dir=$1
work_dir=$2
expected_version=$3
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work_dir"
mkdir -p "$work_dir"
work_dir=$(cd "$work_dir" && pwd)
cmake --install "$build_dir" --prefix "$work_dir/first" > "$work_dir/install.log"
mv "$work_dir/first" "$work_dir/prefix"
prefix=$work_dir/prefix

# The library folder the installation chose (lib, or lib/<multiarch> under /usr).
pc_file=$(find "$prefix" -name hiddfu.pc)
[ -n "$pc_file" ] || fail "no hiddfu.pc installed"
libdir=$(dirname "$(dirname "$pc_file")")

for file in bin/hiddfu bin/mkdfu bin/hiddfu-sim \
        include/hiddfu/HidDfu.h include/hiddfu/HidDfuTypes.h include/hiddfu/HidDfuResults.h \
        lib/udev/rules.d/70-hiddfu.rules share/bash-completion/completions/hiddfu \
        share/doc/hiddfu/protocol.md share/doc/hiddfu/LICENSE share/doc/hiddfu/THIRD-PARTY-NOTICES.txt; do
    [ -e "$prefix/$file" ] || fail "$file not installed"
done
for file in libhiddfu.so.1 libhiddfu.so cmake/hiddfu/hiddfuConfig.cmake; do
    [ -e "$libdir/$file" ] || fail "$libdir/$file not installed"
done
soname=$(objdump -p "$libdir/libhiddfu.so.1" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libhiddfu.so.1 ] || fail "SONAME is '$soname'"

# The installed program finds its library by itself.
version_line=$(env -u LD_LIBRARY_PATH "$prefix/bin/hiddfu" version) ||
    fail "installed hiddfu version failed"
case $version_line in
*"\"hid_dfu_dll_version\": \"$expected_version\""*) ;;
*) fail "hiddfu version printed: $version_line" ;;
esac

# find_package(hiddfu)
cmake -S "$source_dir/tests/consumer" -B "$work_dir/consumer-build" \
    -DCMAKE_PREFIX_PATH="$prefix" > "$work_dir/consumer.log" 2>&1 ||
    { cat "$work_dir/consumer.log"; fail "the consumer project does not configure"; }
cmake --build "$work_dir/consumer-build" >> "$work_dir/consumer.log" 2>&1 ||
    { cat "$work_dir/consumer.log"; fail "the consumer project does not build"; }
output=$(env -u LD_LIBRARY_PATH "$work_dir/consumer-build/consumer")
[ "$output" = "$expected_version" ] || fail "consumer (CMake) printed '$output'"

# pkg-config; the program gets no run path of its own here, so the loader is
# told where the library is.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion hiddfu)" = "${expected_version%% *}" ] ||
    fail "pkg-config reports version $(pkg-config --modversion hiddfu)"
# shellcheck disable=SC2046 # the flags are meant to split
cc -Wall -Wextra -Werror -o "$work_dir/consumer-pc" "$source_dir/tests/consumer/consumer.c" \
    $(pkg-config --cflags --libs hiddfu) || fail "the consumer does not build with pkg-config"
output=$(LD_LIBRARY_PATH="$(pkg-config --variable=libdir hiddfu)" "$work_dir/consumer-pc")
[ "$output" = "$expected_version" ] || fail "consumer (pkg-config) printed '$output'"

echo "installed to $prefix: hiddfu, the CMake package and pkg-config all work"
rm -rf "$work_dir"
