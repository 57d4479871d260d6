#!/bin/sh
# Installs the Debian packages the end-to-end tests need on the host: qemu to
# boot a stock Debian kernel under TCG, a static busybox for the guest's
# userland, cpio to pack the initramfs, kmod for depmod, xz to unpack the
# kernel image, and the static libraries the guest binaries are linked with.
# The kernel itself is never installed: the e2e build downloads its package
# with apt-get download and unpacks it into the build folder.
# On Debian 12, as root or as a user who may use sudo.
set -eu
exec sh "$(dirname "$0")/../tools/apt-install.sh" \
    qemu-system-x86 busybox-static cpio kmod xz-utils binutils \
    libjansson-dev libdeflate-dev \
    python3 python3-jsonschema
