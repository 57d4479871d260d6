#!/bin/sh
# Downloads and unpacks the Debian source package PACKAGE into DESTDIR, with
# Debian's patches applied, and prints the path of the unpacked tree as the
# last line on standard output (everything else goes to standard error).
#
# The machine's own apt configuration is left alone: a private configuration
# under DESTDIR/apt adds one deb-src line for the release's main component,
# on the same mirror that the machine's apt already uses for that release,
# and keeps its package lists and caches there too. It works without root.
#
# usage: debian-source.sh PACKAGE DESTDIR
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 PACKAGE DESTDIR" >&2
    exit 2
fi
package=$1
mkdir -p "$2"
destdir=$(cd "$2" && pwd)

for tool in apt-get dpkg-source; do
    if ! command -v "$tool" > /dev/null 2>&1; then
        echo "$0: $tool not found (dpkg-source is in the dpkg-dev package)" >&2
        exit 127
    fi
done

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -z "$codename" ]; then
    echo "$0: no VERSION_CODENAME in /etc/os-release: not a Debian release?" >&2
    exit 1
fi

# The mirror that serves the release's binary packages on this machine.
mirror=$(apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(SITE)' 2> /dev/null |
    awk -v release="$codename" '$1 == "deb" && $2 == release { print $3; exit }')
mirror=${mirror:-http://deb.debian.org/debian}

keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed_by=
if [ -f "$keyring" ]; then
    signed_by="[signed-by=$keyring] "
fi

apt_dir=$destdir/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb-src $signed_by$mirror $codename main" > "$apt_dir/sources.list"

set -- \
    -o "Dir::Etc::SourceList=$apt_dir/sources.list" \
    -o "Dir::Etc::SourceParts=/dev/null" \
    -o "Dir::State::Lists=$apt_dir/lists" \
    -o "Dir::Cache=$apt_dir/cache"
if [ "$(id -u)" -eq 0 ]; then
    # apt would otherwise try to download as the _apt user, which may not be
    # able to write here, and warn before falling back to root.
    set -- "$@" -o "APT::Sandbox::User=root"
fi

if ! ls "$apt_dir/lists/"*_Sources* > /dev/null 2>&1; then
    apt-get "$@" -q update >&2
fi

cd "$destdir"
apt-get "$@" -q source "$package" >&2

# dpkg-source unpacks into PACKAGE-UPSTREAMVERSION: the .dsc's version
# without its epoch and Debian revision.
dsc=$(ls -t "$package"_*.dsc | head -n 1)
version=$(sed -n 's/^Version: *//p' "$dsc" | head -n 1)
upstream=${version#*:}
upstream=${upstream%-*}
tree=$destdir/$package-$upstream
if [ ! -d "$tree" ]; then
    echo "$0: expected $tree after unpacking $dsc" >&2
    exit 1
fi
echo "$package $version from $mirror" >&2
echo "$tree"
