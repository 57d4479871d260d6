#!/bin/sh
# Installs what the Cortex-M build and test of the device core needs on top
# of tools/install-deps.sh: the bare-metal ARM cross compiler and qemu with
# the mps2-an385 board. No C library for the target: the core and the test
# image bring their own memcpy and memset. On Debian 12, as root or as a
# user who may use sudo.
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
apt-get install -y --no-install-recommends gcc-arm-none-eabi qemu-system-arm
