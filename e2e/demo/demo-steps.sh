#!/bin/sh
# The walk-through of hiddfu with a simulated device: attach hiddfu-sim, list
# it, update it from a generated DFU file whose payload announces firmware
# 2.0.0, and ask it for its version before and after. Runs in the current
# folder with hiddfu, hiddfu-sim and mkdfu on PATH, as root on a kernel with
# uhid and hid-generic (in the e2e VM, or directly: e2e/demo.sh).
# Exit status 0 when the update worked and the device then runs 2.0.0.
set -u

step() {
    echo
    echo "\$ $*"
    "$@"
    echo "(exit status $?)"
}

printf 'hiddfu-sim firmware 2.0.0\n' > fw.bin
head -c 262144 /dev/urandom >> fw.bin
step mkdfu -v 1234 -p 5678 fw.bin fw.dfu

echo
echo "\$ hiddfu-sim --flash flash.bin --ready-file sim.ready &"
rm -f sim.ready flash.bin
hiddfu-sim --flash "$PWD/flash.bin" --ready-file "$PWD/sim.ready" > sim.out 2>&1 &
sim=$!
tries=0
while [ ! -s sim.ready ] && [ "$tries" -lt 100 ] && kill -0 "$sim" 2>/dev/null; do
    sleep 0.1
    tries=$((tries + 1))
done
if [ ! -s sim.ready ]; then
    echo "the simulated device did not attach:"
    cat sim.out
    kill "$sim" 2>/dev/null
    exit 1
fi
echo "(attached as /dev/$(cat sim.ready))"

step hiddfu devices 0x1234 0x5678
step hiddfu get 1234-5678-0000 version
step hiddfu update 1234-5678-0000 fw.dfu
step hiddfu get 1234-5678-0000 version
hiddfu get 1234-5678-0000 version > version.json

echo
head -c $(( $(wc -c < fw.dfu) - 16 )) fw.dfu > payload.bin
if cmp -s payload.bin flash.bin; then
    echo "the device's flash holds the file's payload byte for byte"
else
    echo "the device's flash differs from the file's payload"
fi
kill "$sim"
wait "$sim"
cmp -s payload.bin flash.bin && grep -q '"response": "2.0.0"' version.json
