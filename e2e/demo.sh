#!/bin/sh
# hiddfu with a simulated device, for the README: attaches hiddfu-sim, runs
# hiddfu devices, update (a generated DFU file announcing firmware 2.0.0) and
# get ... version, and shows what they print.
#
#   e2e/demo.sh [BUILD_DIR]        (default: build/e2e)
#
# As root on a host whose kernel has uhid (/dev/uhid) it runs there, with the
# programs BUILD_DIR holds (build them first: cmake --build BUILD_DIR).
# Otherwise it boots the e2e VM: BUILD_DIR must be configured with
# -DHIDDFU_BUILD_E2E=ON (e2e/install-deps.sh), and the target e2e_demo builds
# what it needs.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build/e2e}

if [ -c /dev/uhid ] && [ "$(id -u)" -eq 0 ]; then
    for program in app/hiddfu/hiddfu simulator/uhid/hiddfu-sim tools/mkdfu/mkdfu; do
        [ -x "$build_dir/$program" ] || { echo "demo: no $build_dir/$program; build first" >&2; exit 2; }
    done
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    cd "$work"
    PATH="$build_dir/app/hiddfu:$build_dir/simulator/uhid:$build_dir/tools/mkdfu:$PATH" \
        sh "$source_dir/e2e/demo/demo-steps.sh"
else
    echo "demo: no /dev/uhid here (or not root): running it in the e2e VM"
    cmake --build "$build_dir" --target e2e_demo
fi
