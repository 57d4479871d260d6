#!/bin/sh
# Checks the Windows zip that `cpack --preset windows` made: unpacks it, looks
# for the files it must carry, runs the unpacked hiddfu.exe under wine, and
# builds a program against the unpacked CMake package and runs it; both must
# report the same library version.
#
# usage: windows-zip-check.sh WINDOWS_BUILD_DIR WORK_DIR
set -eu
build_dir=$(cd "$1" && pwd)
work=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
run="$source_dir/tools/windows/wine-run.sh --prefix=$build_dir/wineprefix"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

set -- "$build_dir"/packages/hiddfu-*-win64.zip
[ -f "$1" ] || fail "no zip in $build_dir/packages"
zip=$1
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
(cd "$work" && cmake -E tar xf "$zip")
top=$work/$(basename "$zip" .zip)
for file in bin/hiddfu.exe bin/HidDfu.dll bin/mkdfu.exe lib/libHidDfu.dll.a \
        include/hiddfu/HidDfu.h include/hiddfu/HidDfuTypes.h include/hiddfu/HidDfuResults.h \
        lib/cmake/hiddfu/hiddfuConfig.cmake LICENSE.txt THIRD-PARTY-NOTICES.txt README-Windows.txt; do
    [ -f "$top/$file" ] || fail "$file is not in $(basename "$zip")"
done

version_line=$($run "$top/bin/hiddfu.exe" version) || fail "hiddfu.exe version failed"
echo "$version_line"

cmake -S "$source_dir/tests/consumer" -B "$work/consumer-build" \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -Dhiddfu_DIR="$top/lib/cmake/hiddfu" > "$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer-build" >> "$work/consumer.log" 2>&1 ||
    { cat "$work/consumer.log"; fail "the consumer does not build against the zip"; }
# Beside HidDfu.dll, where Windows looks for it first.
cp "$work/consumer-build/consumer.exe" "$top/bin/"
library_version=$($run "$top/bin/consumer.exe" | tr -d '\r') || fail "consumer.exe failed"
case $version_line in
*"\"hid_dfu_dll_version\": \"$library_version\""*) ;;
*) fail "consumer.exe reports '$library_version'" ;;
esac
echo "zip: hiddfu.exe runs, a program builds against the package and reports $library_version"
rm -rf "$work"
