#!/bin/sh
# Installs the Debian packages that building and testing hiddfu on Linux
# needs, and making the Debian package (scdoc for the manual pages,
# dpkg-dev and file for the package). On Debian 12, as root or as a user who
# may use sudo.
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
    ca-certificates cmake make g++ pkg-config \
    libjansson-dev libdeflate-dev \
    libgtest-dev libgmock-dev \
    clang libclang-rt-14-dev \
    dfu-util \
    scdoc groff-base man-db udev \
    dpkg-dev file \
    python3 python3-jsonschema
