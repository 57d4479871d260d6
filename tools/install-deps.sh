#!/bin/sh
# Installs the Debian packages that building and testing hiddfu on Linux
# needs, and making the Debian package (scdoc for the manual pages,
# dpkg-dev and file for the package). On Debian 12, as root or as a user who
# may use sudo.
set -eu
exec sh "$(dirname "$0")/apt-install.sh" \
    ca-certificates cmake make g++ pkg-config \
    libjansson-dev libdeflate-dev \
    libgtest-dev libgmock-dev \
    clang libclang-rt-14-dev \
    dfu-util \
    scdoc groff-base man-db udev \
    dpkg-dev file \
    python3 python3-jsonschema
