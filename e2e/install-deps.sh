#!/bin/sh
# Installs the Debian packages the end-to-end tests need on the host: qemu to
# boot a stock Debian kernel under TCG, a static busybox for the guest's
# userland, cpio to pack the initramfs, kmod for depmod, xz to unpack the
# kernel image, and the static libraries the guest binaries are linked with.
# The kernel itself is never installed: the e2e build downloads its package
# with apt-get download and unpacks it into the build folder.
# On Debian 12, as root or as a user who may use sudo.
set -eu
# Installing packages needs root: a normal user's run starts itself again
# through sudo.
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo > /dev/null 2>&1; then
        exec sudo sh "$0" "$@"
    fi
    echo "$0: installing packages needs root; run it as root (sudo is not installed)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    qemu-system-x86 busybox-static cpio kmod xz-utils binutils \
    libjansson-dev libdeflate-dev \
    python3 python3-jsonschema
