#!/bin/sh
# Installs Debian packages for this project's install scripts:
#   tools/apt-install.sh PACKAGE...
# Installing packages needs root: run as a normal user it starts itself
# again through sudo, and says so plainly when there is no sudo.
set -eu
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo > /dev/null 2>&1; then
        exec sudo sh "$0" "$@"
    fi
    echo "$0: installing packages needs root; run it as root (sudo is not installed)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "$@"
