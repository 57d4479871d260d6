#!/bin/sh
# Packs the end-to-end VM's initramfs (an uncompressed newc cpio archive: the
# kernel unpacks it faster than it would decompress one under TCG).
#   make-initramfs.sh OUT.cpio KERNEL_DIR E2E_SOURCE_DIR [--scenarios DIR]
#                     [--usb-modules DIR] [--bin FILE]... [--data FILE]...
# Holds: a static busybox, the three HID modules from KERNEL_DIR/modules, the
# guest scripts from E2E_SOURCE_DIR, the scenarios from E2E_SOURCE_DIR/scenarios
# (or from the --scenarios folder: the benchmark boots the same VM with its own
# scripts), the USB modules of a --usb-modules folder (fetch-usb-modules.sh
# made it; the guest then loads them too), each --bin program in
# /usr/local/bin and each --data file in /e2e/data. A dynamically linked
# program brings every library ldd names, and the loader, at the same paths
# as on the host, so the project's programs run in the guest exactly as
# built, whatever they link.
set -eu

usage="usage: make-initramfs.sh OUT.cpio KERNEL_DIR E2E_SOURCE_DIR [--scenarios DIR] [--usb-modules DIR] [--bin FILE]... [--data FILE]..."
out=${1:?$usage}
kernel_dir=${2:?$usage}
source_dir=${3:?$usage}
shift 3

root="$out.root"
rm -rf "$root"
mkdir -p "$root/bin" "$root/usr/local/bin" "$root/e2e/modules" "$root/e2e/scenarios" \
         "$root/e2e/data" "$root/dev" "$root/proc" "$root/sys" "$root/tmp"

# Copies a file to the same absolute path under the image root.
copy_to_same_path() {
    mkdir -p "$root$(dirname "$1")"
    cp -L "$1" "$root$1"
}

# Copies one library to the path ldd found it at. A library of this build
# (libhiddfu) is found through the program's RUNPATH in the build folder,
# which may lie below /tmp, where the guest mounts a fresh tmpfs over the
# image's copy: it also goes into the loader's default folder, under its
# soname, so it is found either way.
copy_library() {
    copy_to_same_path "$2"
    case "$2" in
        /lib/* | /usr/lib/*) ;;
        *) mkdir -p "$root/lib/x86_64-linux-gnu"
           cp -L "$2" "$root/lib/x86_64-linux-gnu/$1" ;;
    esac
}

# Copies the shared libraries and the loader that ldd lists for a binary.
# ldd fails on a static binary, which needs nothing.
copy_libraries_of() {
    if ldd "$1" 2>/dev/null | grep -q "not found"; then
        echo "make-initramfs: $1 needs a library that ldd cannot find:" >&2
        ldd "$1" | grep "not found" >&2
        exit 1
    fi
    ldd "$1" 2>/dev/null | while read -r first second third _; do
        case "$second" in
            "=>") [ -n "$third" ] && [ "${third#/}" != "$third" ] && copy_library "$first" "$third" ;;
            *) [ "${first#/}" != "$first" ] && copy_to_same_path "$first" ;;
        esac
    done
}

busybox=$(command -v busybox)
cp -L "$busybox" "$root/bin/busybox"
copy_libraries_of "$busybox"

for module in hid uhid hid-generic; do
    cp "$kernel_dir/modules/$module.ko" "$root/e2e/modules/"
done

install -m 755 "$source_dir/guest/init.sh" "$root/init"
cp "$source_dir/guest/lib.sh" "$source_dir/guest/run-scenario.sh" "$root/e2e/"
scenario_dir="$source_dir/scenarios"
if [ "${1:-}" = --scenarios ]; then
    scenario_dir=${2:?--scenarios needs a folder}
    shift 2
fi
cp "$scenario_dir"/*.sh "$root/e2e/scenarios/"
if [ "${1:-}" = --usb-modules ]; then
    usb_modules=${2:?--usb-modules needs a folder}
    shift 2
    mkdir -p "$root/e2e/modules/usb"
    cp "$usb_modules/modules/order" "$usb_modules"/modules/*.ko "$root/e2e/modules/usb/"
fi

# Debug information is of no use in the guest and only slows its loading.
add_program() {
    cp -L "$1" "$root/usr/local/bin/"
    strip --strip-debug "$root/usr/local/bin/$(basename "$1")"
    copy_libraries_of "$1"
}

while [ $# -gt 0 ]; do
    case "$1" in
        --bin) add_program "${2:?--bin needs a file}"; shift 2 ;;
        --data) cp -L "${2:?--data needs a file}" "$root/e2e/data/"; shift 2 ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$out.tmp"
mv "$out.tmp" "$out"
rm -rf "$root"
