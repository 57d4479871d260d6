#!/usr/bin/env bash
# CI stage: the Debian package. Builds hiddfu_<version>_amd64.deb (preset
# "deb": installed under /usr), checks it with lintian, then installs it,
# runs the installed hiddfu, finds its manual page, builds and runs a C
# program against the installed library through pkg-config, and purges the
# package again, so that the machine is left as it was.
#
# Runs as root on Debian 12 with no standard input; installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    dpkg-dev # dpkg-shlibdeps, for the package's dependencies
    file     # cpack finds the binaries to scan with it
    lintian scdoc man-db gcc pkg-config
)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f '${Status}\n' "$package" 2> /dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== deb: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}" < /dev/null
fi

echo "== deb: build"
cmake --preset deb < /dev/null
cmake --build --preset deb < /dev/null
rm -rf build/deb/packages
cpack --preset deb < /dev/null
debs=(build/deb/packages/hiddfu_*_amd64.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "deb: no package was made" >&2; exit 1; }
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== deb: lintian"
# Errors fail the stage; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$deb"

echo "== deb: install, use, purge"
if dpkg-query -W -f '${Status}\n' hiddfu 2> /dev/null | grep -q 'installed'; then
    echo "deb: a hiddfu package is installed already; not touching it" >&2
    exit 1
fi
work=$(mktemp -d)
cleanup() {
    dpkg -P hiddfu > /dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

dpkg -i "$deb"
version_line=$(hiddfu version)
echo "$version_line"
man -w hiddfu
cat > "$work/version.c" <<'PROGRAM'
#include <hiddfu/HidDfu.h>
#include <stdio.h>

int main(void)
{
    uint16 major = 0, minor = 0, release = 0, build = 0;
    int32 result = hidDfuGetVersion(&major, &minor, &release, &build);
    printf("%u.%u.%u (%u)\n", major, minor, release, build);
    return result == HIDDFU_SUCCESS ? 0 : 1;
}
PROGRAM
# shellcheck disable=SC2046 # the flags are meant to split
cc -Wall -Wextra -Werror -o "$work/version" "$work/version.c" $(pkg-config --cflags --libs hiddfu)
library_version=$("$work/version")
echo "program built with pkg-config: libhiddfu $library_version"
case $version_line in
*"\"hid_dfu_dll_version\": \"$library_version\""*) ;;
*)
    echo "deb: the program's library version is not the one hiddfu version shows" >&2
    exit 1
    ;;
esac

dpkg -P hiddfu
for file in /usr/bin/hiddfu /usr/include/hiddfu /usr/lib/udev/rules.d/70-hiddfu.rules /usr/share/doc/hiddfu; do
    if [ -e "$file" ]; then
        echo "deb: $file is still there after dpkg -P" >&2
        exit 1
    fi
done
echo "== deb: $deb installed, used and purged"
