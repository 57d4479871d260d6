#!/bin/sh
# Code and RAM of the device core on Cortex-M0+ and Cortex-M4 at -Os, from a
# build folder configured with the "target" preset and built
# (cmake --preset target && cmake --build --preset target):
#   - text/data/bss of the core library (every function of the core, as a
#     firmware that uses all of it would link it);
#   - the context struct (the firmware also owns one transfer buffer of
#     wTransferSize bytes; the core allocates nothing);
#   - its largest stack frames and functions, and what it needs from
#     outside (memcpy, memset, the compiler's own helpers).
#
# usage: bench/device-size.sh [BUILD_DIR]   (default build/target)
set -eu

build=${1:-build/target}
arm=$build/device/target/arm
if [ ! -d "$arm" ]; then
    echo "$0: no cross build in $arm (cmake --preset target && cmake --build --preset target)" >&2
    exit 2
fi

for cpu in cortex-m0plus cortex-m4; do
    core=$arm/libhiddfu_device_$cpu.a
    probe=$arm/libhiddfu_context_size_$cpu.a
    echo "== $cpu, -Os"
    arm-none-eabi-size -t "$core" | awk 'NR == 1 || /TOTALS/ { print "  " $0 }'
    context=$(arm-none-eabi-nm -S "$probe" | awk '$4 == "hiddfu_context_size" { print $2 }')
    echo "  context struct: $((0x${context:-0})) bytes"
    # -fstack-usage: "file:line:column:function<TAB>bytes<TAB>kind" per function.
    echo "  largest stack frames (bytes, function, kind; a call chain adds them up):"
    find "$arm/CMakeFiles/hiddfu_device_$cpu.dir" -name '*.su' -exec cat {} + |
        awk -F '\t' '{ n = split($1, where, ":"); printf "%d %s %s\n", $2, where[n], $3 }' |
        sort -n | tail -n 3 | awk '{ printf "    %6d %s %s\n", $1, $2, $3 }'
    echo "  largest functions (bytes, symbol):"
    arm-none-eabi-nm -S -t d "$core" | awk 'NF == 4 && $3 ~ /^[tT]$/ { print $2 + 0, $4 }' |
        sort -n | tail -n 8 | awk '{ printf "    %6d %s\n", $1, $2 }'
    # Undefined in some object of the core and defined in none.
    defined=$(arm-none-eabi-nm --defined-only "$core" | awk 'NF == 3 { print $3 }' | sort -u)
    needed=$(arm-none-eabi-nm -u "$core" | awk 'NF == 2 { print $2 }' | sort -u)
    echo "  needs from outside: $(echo "$needed" | grep -vxF "$defined" | tr '\n' ' ')"
done
