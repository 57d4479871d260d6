#!/bin/sh
# Installs what the Cortex-M build and test of the device core needs on top
# of tools/install-deps.sh: the bare-metal ARM cross compiler and qemu with
# the mps2-an385 board. No C library for the target: the core and the test
# image bring their own memcpy and memset. Run as root on Debian 12.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends gcc-arm-none-eabi qemu-system-arm
