#!/bin/busybox sh
# PID 1 of the end-to-end VM.
#
# Sets up a minimal system (busybox, proc, sysfs, devtmpfs), loads the kernel's
# HID modules (and the USB ones when the image has them), runs every scenario under /e2e/scenarios in name order, and
# hands the results to the host:
#   - on the second serial port (ttyS1): a line when init is up (the host's
#     boot watchdog waits for it), one line per finished scenario, then all
#     results as a base64 tar.gz between markers that carry its size and hash;
#   - through isa-debug-exit (port 0xf4): the exit code below, which qemu turns
#     into its exit status (code << 1) | 1.
# The console (ttyS0) only carries kernel messages and this script's own
# progress lines, for diagnosis.

EXIT_ALL_PASSED=33   # qemu exit status 67
EXIT_SOME_FAILED=34  # qemu exit status 69
EXIT_SETUP_FAILED=35 # qemu exit status 71

SCENARIO_TIMEOUT_S=90
RESULTS=/results
CHANNEL=/dev/ttyS1

/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin "$RESULTS"
/bin/busybox --install -s
export PATH=/usr/local/bin:/bin:/sbin:/usr/bin:/usr/sbin
export HOME=/tmp

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

# Every message opens and closes the port, and the last close of a serial
# port waits until its output has left: nothing is lost when qemu ends.
stty -F "$CHANNEL" raw -echo 2>/dev/null
channel() { echo "$*" > "$CHANNEL"; }
console() { echo "e2e-init: $*" > /dev/console; }

uptime_ms() {
    read -r up _ < /proc/uptime
    hundredths=${up#*.}
    echo $(( ${up%.*} * 1000 + ${hundredths#0} * 10 ))
}

finish() {
    code=$1
    tar -czf /tmp/results.tar.gz -C "$RESULTS" .
    size=$(wc -c < /tmp/results.tar.gz)
    hash=$(sha256sum /tmp/results.tar.gz | cut -d' ' -f1)
    channel "E2E-RESULTS-BEGIN $size $hash"
    base64 /tmp/results.tar.gz > "$CHANNEL"
    channel "E2E-RESULTS-END"
    channel "E2E-EXIT $code $(uptime_ms)"
    console "done, exit code $code"
    # isa-debug-exit: one byte to port 0xf4 ends qemu.
    printf "\\$(printf '%03o' "$code")" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
    # Only reached when the VM has no isa-debug-exit device.
    poweroff -f
}

channel "E2E-INIT-UP $(uptime_ms)"
console "init up"

load_modules() {
    for module in hid uhid hid-generic; do
        insmod "/e2e/modules/$module.ko" || return 1
    done
    [ -c /dev/uhid ] || { echo "no /dev/uhid after loading uhid.ko"; return 1; }
    if [ -f /e2e/modules/usb/order ]; then
        load_usb_modules || return 1
    fi
}

# An image for the USB scenarios also carries the USB host stack, the gadget
# stack and dummy_hcd: two emulated full-speed buses, each with a device
# controller that a USB device program (hiddfu-sim --usb) binds a gadget to.
load_usb_modules() {
    while read -r module; do
        case "$module" in
            dummy_hcd) parameters="num=2 is_high_speed=0" ;;
            *) parameters= ;;
        esac
        # shellcheck disable=SC2086 # none or several parameters
        insmod "/e2e/modules/usb/$module.ko" $parameters || return 1
    done < /e2e/modules/usb/order
    mount -t configfs none /sys/kernel/config || return 1
    [ "$(ls /sys/class/udc | wc -l)" -eq 2 ] || { echo "no UDCs after loading dummy_hcd"; return 1; }
}
if ! load_modules > "$RESULTS/setup.log" 2>&1; then
    console "module loading failed"
    cat "$RESULTS/setup.log" > /dev/console
    finish $EXIT_SETUP_FAILED
fi

# The first run of a program under TCG pays for translating the code it
# touches (the loader, the C++ runtime), which can take seconds on a busy
# host; later runs reuse the translations. Running each program once here
# keeps that one-time cost out of the scenarios' timing checks.
warm_up() {
    for program in hiddfu hiddfu-sim; do
        command -v "$program" > /dev/null || continue
        start=$(uptime_ms)
        "$program" --help > /dev/null 2>&1
        echo "warm-up: $program took $(( $(uptime_ms) - start )) ms"
    done
}
warm_up >> "$RESULTS/setup.log" 2>&1

# Ends whatever a scenario left running (simulators it did not stop, a
# command that hung past the time limit: the limit only kills the scenario's
# shell), then waits until no hidraw node is left, so that the next scenario
# starts with no device attached. Every user process but this init goes;
# kernel threads (no executable behind /proc/PID/exe) are left alone.
clean_up_after_scenario() {
    for proc in /proc/[0-9]*; do
        pid=${proc#/proc/}
        [ "$pid" -ne 1 ] && [ -e "$proc/exe" ] && kill -KILL "$pid" 2>/dev/null
    done
    for _ in $(seq 50); do
        [ -z "$(ls /sys/class/hidraw 2>/dev/null)" ] && return 0
        sleep 0.1
    done
    echo "warning: hidraw nodes still present after scenario $1: $(ls /sys/class/hidraw)" \
        >> "$RESULTS/setup.log"
}

failed=0
for scenario in /e2e/scenarios/*.sh; do
    name=$(basename "$scenario" .sh)
    name=${name#[0-9][0-9]-}
    work=/tmp/scenario/$name
    out=$RESULTS/$name
    mkdir -p "$work" "$out"
    console "scenario $name"
    limit=$(sed -n 's/^# e2e-timeout: *\([0-9][0-9]*\).*/\1/p' "$scenario" | head -n 1)
    limit=${limit:-$SCENARIO_TIMEOUT_S}
    start=$(uptime_ms)
    (cd "$work" && timeout -s KILL "$limit" sh /e2e/run-scenario.sh "$scenario") \
        > "$out/log" 2>&1
    status=$?
    elapsed=$(( $(uptime_ms) - start ))
    [ "$status" -eq 137 ] && echo "TIMEOUT: killed after $limit s" >> "$out/log"
    clean_up_after_scenario "$name"
    # Keep the simulators' logs (reports received) and their own output,
    # and everything hiddfu printed on stdout, beside the scenario's log.
    for simfile in "$work"/*.simlog "$work"/*.simout "$work"/hiddfu.stdout; do
        [ -f "$simfile" ] && cp "$simfile" "$out/"
    done
    if [ "$status" -eq 0 ]; then verdict=PASS; else verdict=FAIL; failed=1; fi
    echo "$verdict" > "$out/status"
    echo "$elapsed" > "$out/ms"
    channel "E2E-SCENARIO $verdict $name $elapsed"
done

if [ "$failed" -eq 0 ]; then finish $EXIT_ALL_PASSED; else finish $EXIT_SOME_FAILED; fi
