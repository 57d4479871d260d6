#!/usr/bin/env bash
# CI stage: the Windows build. Installs the MinGW-w64 cross compilers and
# wine, cross-builds hiddfu.exe and the tests (preset "windows"; Jansson,
# libdeflate and GoogleTest are built from Debian's sources on the first
# configure), and runs the tests under wine.
#
# Runs as root on a fresh Debian 12 machine with no standard input, and on a
# machine that has the packages already (then it installs nothing). When a
# native build exists in build/default (.ci/run makes it first), a test also
# compares the Windows programs' output with the native ones'.
set -euo pipefail
cd "$(dirname "$0")/.."

# Prints how long the previous phase took.
phase_start=$SECONDS
phase_done() {
    echo "-- windows: $1 took $((SECONDS - phase_start)) s"
    phase_start=$SECONDS
}

packages=(
    g++-mingw-w64-x86-64-posix # the cross compilers, posix thread model
    mingw-w64-x86-64-dev       # Windows headers and import libraries
    wine wine64                # runs the tests
    dpkg-dev                   # dpkg-source, which unpacks Debian source packages
    googletest                 # GoogleTest's sources, built for Windows here
    python3-jsonschema         # checks the JSON the command-line tests got
    cmake make ca-certificates
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f '${Status}\n' "$package" 2> /dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== windows: installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "windows.sh: these packages are missing and only root can install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q "${missing[@]}" < /dev/null
    phase_done "installing packages"
fi

native_build=(-DHIDDFU_NATIVE_BUILD_DIR=)
if [ -x build/default/app/hiddfu/hiddfu ] && [ -x build/default/tools/mkdfu/mkdfu ]; then
    native_build=(-DHIDDFU_NATIVE_BUILD_DIR="$PWD/build/default")
fi

echo "== windows: configure"
cmake --preset windows "${native_build[@]}" < /dev/null
phase_done "configuring (the first one builds Jansson, libdeflate, GoogleTest)"
echo "== windows: build"
cmake --build --preset windows --parallel 2 < /dev/null
phase_done "building"
echo "== windows: hiddfu.exe"
exe=build/windows/app/hiddfu/hiddfu.exe
x86_64-w64-mingw32-strip -o build/windows/hiddfu-stripped.exe "$exe"
echo "hiddfu.exe: $(stat -c %s "$exe") bytes, $(stat -c %s build/windows/hiddfu-stripped.exe) stripped"
echo "== windows: tests under wine"
ctest --preset windows < /dev/null
phase_done "testing"
echo "-- windows: $SECONDS s in all"
