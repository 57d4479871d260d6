#!/bin/sh
# Installs the Debian packages that building and testing hiddfu on Linux
# needs. Run as root (or through sudo) on Debian 12.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    ca-certificates cmake make g++ pkg-config \
    libjansson-dev libdeflate-dev \
    libgtest-dev libgmock-dev \
    clang libclang-rt-14-dev \
    dfu-util \
    python3 python3-jsonschema
