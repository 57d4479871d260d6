#!/bin/sh
# Fetches the stock Debian kernel that the end-to-end VM boots, into a cache
# folder (normally inside the build folder), without installing it:
#   fetch-kernel.sh CACHE_DIR
# Leaves in CACHE_DIR:
#   vmlinux          the uncompressed ELF kernel (boots through PVH, which skips
#                    the ~4 s the bzImage spends decompressing itself under TCG)
#   modules/         hid.ko uhid.ko hid-generic.ko, in that load order
#   kernel.version   the package name and version; a second run that finds the
#                    same package already unpacked does nothing
set -eu

cache=${1:?usage: fetch-kernel.sh CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

log() { echo "fetch-kernel: $*" >&2; }

# The package that linux-image-amd64 currently depends on, e.g.
# linux-image-6.1.0-57-amd64. Found at run time so the test follows the
# point releases of the distribution.
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
          sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
if [ -z "$package" ]; then
    # Without package lists (no apt-get update yet) fall back to what an
    # earlier run unpacked, so an offline rebuild still works.
    if [ -s "$cache/kernel.version" ] && [ -s "$cache/vmlinux" ]; then
        log "no package lists; reusing $(cat "$cache/kernel.version")"
        exit 0
    fi
    log "cannot resolve linux-image-amd64 (run apt-get update)"
    exit 1
fi
version=$(apt-cache policy "$package" | sed -n 's/^ *Candidate: //p')
wanted="$package $version"

if [ -s "$cache/kernel.version" ] && [ "$(cat "$cache/kernel.version")" = "$wanted" ] &&
   [ -s "$cache/vmlinux" ] && [ -s "$cache/modules/hid-generic.ko" ]; then
    log "cached: $wanted"
    exit 0
fi

log "fetching $wanted"
work="$cache/download"
rm -rf "$work"
mkdir -p "$work"
# apt-get download writes into the current folder. As root it warns that the
# _apt sandbox user cannot write there; the download itself is unaffected.
(cd "$work" && apt-get download "$package" >/dev/null 2>"$work/apt.err") || {
    cat "$work/apt.err" >&2
    exit 1
}
deb=$(find "$work" -maxdepth 1 -name "${package}_*.deb" | head -n 1)

# Unpack only the kernel image and the three HID modules.
kver=${package#linux-image-}
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" --wildcards \
    "./boot/vmlinuz-$kver" \
    "./lib/modules/$kver/kernel/drivers/hid/hid.ko" \
    "./lib/modules/$kver/kernel/drivers/hid/uhid.ko" \
    "./lib/modules/$kver/kernel/drivers/hid/hid-generic.ko"

# The bzImage carries the kernel as an XZ stream; its first occurrence of the
# XZ magic (FD 37 7A 58 5A 00) starts it. --single-stream stops at the end of
# that stream and ignores what follows it in the image.
vmlinuz="$work/boot/vmlinuz-$kver"
offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
[ -n "$offset" ] || { log "no XZ payload in $vmlinuz"; exit 1; }
tail -c +"$((offset + 1))" "$vmlinuz" | xz -dc --single-stream > "$work/vmlinux"
if [ "$(head -c 4 "$work/vmlinux" | od -An -tx1 | tr -d ' ')" != "7f454c46" ]; then
    log "the XZ payload of $vmlinuz is not an ELF kernel"
    exit 1
fi

rm -rf "$cache/modules"
mkdir -p "$cache/modules"
for module in hid uhid hid-generic; do
    cp "$work/lib/modules/$kver/kernel/drivers/hid/$module.ko" "$cache/modules/"
done
mv "$work/vmlinux" "$cache/vmlinux"
echo "$kver" > "$cache/kernel.release"
echo "$wanted" > "$cache/kernel.version"
rm -rf "$work"
log "ready: $wanted"
