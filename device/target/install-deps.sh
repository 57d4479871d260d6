#!/bin/sh
# Installs what the Cortex-M build and test of the device core needs on top
# of tools/install-deps.sh: the bare-metal ARM cross compiler and qemu with
# the mps2-an385 board. No C library for the target: the core and the test
# image bring their own memcpy and memset. On Debian 12, as root or as a
# user who may use sudo.
set -eu
exec sh "$(dirname "$0")/../../tools/apt-install.sh" gcc-arm-none-eabi qemu-system-arm
