#!/bin/sh
# Fetches the USB modules for the end-to-end VM's USB boot, from the same
# kernel package that fetch-kernel.sh unpacked into KERNEL_DIR, into a folder
# of their own (the kernel cache may be shared and read-only to this step):
#   fetch-usb-modules.sh KERNEL_DIR OUT_DIR
# Leaves in OUT_DIR:
#   modules/*.ko      the USB host stack with its HID driver, dummy_hcd (a
#                     device controller wired to an emulated host controller
#                     on the same machine), the configfs gadget stack with
#                     FunctionFS, and gadgetfs (for a DFU class device),
#                     listed in load order in modules/order
#   kernel.version    copied from KERNEL_DIR: a second run for the same
#                     kernel does nothing
set -eu

kernel_dir=${1:?usage: fetch-usb-modules.sh KERNEL_DIR OUT_DIR}
out=${2:?usage: fetch-usb-modules.sh KERNEL_DIR OUT_DIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)

log() { echo "fetch-usb-modules: $*" >&2; }

# Load order: each module after those it depends on (modinfo -F depends).
modules="drivers/usb/common/usb-common.ko
drivers/usb/core/usbcore.ko
drivers/hid/usbhid/usbhid.ko
drivers/usb/gadget/udc/udc-core.ko
drivers/usb/gadget/udc/dummy_hcd.ko
fs/configfs/configfs.ko
drivers/usb/gadget/libcomposite.ko
drivers/usb/gadget/function/usb_f_fs.ko
drivers/usb/gadget/legacy/gadgetfs.ko"

wanted=$(cat "$kernel_dir/kernel.version")
wanted_order=$(for module in $modules; do basename "$module" .ko; done)
if [ -s "$out/kernel.version" ] && [ "$(cat "$out/kernel.version")" = "$wanted" ] &&
   [ "$(cat "$out/modules/order" 2>/dev/null)" = "$wanted_order" ]; then
    log "cached: $wanted"
    exit 0
fi

package=${wanted% *}
version=${wanted#* }
kver=$(cat "$kernel_dir/kernel.release")
log "fetching the USB modules of $wanted"
work="$out/download"
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && apt-get download "$package=$version" >/dev/null 2>"$work/apt.err") || {
    cat "$work/apt.err" >&2
    exit 1
}
deb=$(find "$work" -maxdepth 1 -name "${package}_*.deb" | head -n 1)
members=$(for module in $modules; do echo "./lib/modules/$kver/kernel/$module"; done)
# shellcheck disable=SC2086 # one member per word
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" $members

rm -rf "$out/modules"
mkdir -p "$out/modules"
for module in $modules; do
    cp "$work/lib/modules/$kver/kernel/$module" "$out/modules/"
    basename "$module" .ko >> "$out/modules/order"
done
echo "$wanted" > "$out/kernel.version"
rm -rf "$work"
log "ready: $(tr '\n' ' ' < "$out/modules/order")"
