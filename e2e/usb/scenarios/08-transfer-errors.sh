# What the host's hidraw feature report ioctls see from a USB device, under
# the library (e2e-feature-probe prints "ok BYTES MS" or "error ERRNO MS"):
# a stall is EPIPE, an unanswered request ETIMEDOUT after usbhid's 5 s
# control timeout, a device program that ends while a request waits EPROTO,
# a transfer on a node held open after the device has gone ENODEV.
# e2e-timeout: 150
SIM_ATTACH_POLLS=3000

# probe LABEL PATTERN ARGS...: runs the probe; its output must match PATTERN
# (a grep -E expression over the whole line).
probe() {
    label=$1 pattern=$2
    shift 2
    PROBE_OUT=$(e2e-feature-probe "$@")
    echo "\$ e2e-feature-probe $*  ->  $PROBE_OUT"
    expect_true "$label: \"$PROBE_OUT\" matches $pattern" \
        sh -c "printf '%s\n' '$PROBE_OUT' | grep -qxE '$pattern'"
}
probe_ms() { echo "$PROBE_OUT" | cut -d' ' -f3; }

# The guest's clocks, which decide how long a control transfer takes on the
# emulated bus (dummy_hcd schedules its transfers by timer).
echo "  clocksource: $(cat /sys/devices/system/clocksource/clocksource0/current_clocksource)"
echo "  clock event device and high resolution mode:"
grep -E '^Clock Event Device:|hres_active|^ mode:' /proc/timer_list | sort | uniq -c | sed 's/^/    /'

zeros16=00000000000000000000000000000000
dnload0="d00100001000$zeros16"

# A device without feature reports refuses both directions with a stall.
sim_start plain --usb --no-dfu
dev_node=/dev/$(sim_node plain)
probe "GET_REPORT refused" 'error EPIPE [0-9]+' "$dev_node" get d1 7
probe "SET_REPORT refused" 'error EPIPE [0-9]+' "$dev_node" set "$dnload0"
sim_stop plain

# A device that goes silent with block 0: the DNLOAD's data is taken, the
# GETSTATUS after it is never answered.
sim_start silent --usb --transfer-size 16 --silent-at-block 0
dev_node=/dev/$(sim_node silent)
probe "GETSTATUS answered" 'ok 7 [0-9]+' "$dev_node" get d1 7
# Ten more, for the time one control transfer takes here (not judged).
times=$(for _ in 1 2 3 4 5 6 7 8 9 10; do
            e2e-feature-probe "$dev_node" get d1 7 | cut -d' ' -f3
        done | sort -n | tr '\n' ' ')
echo "  GETSTATUS times, ms, sorted: $times"
probe "DNLOAD taken" 'ok 22 [0-9]+' "$dev_node" set "$dnload0"
probe "GETSTATUS unanswered" 'error ETIMEDOUT [0-9]+' "$dev_node" get d1 7
expect_true "the timeout came after 4.5..8 s ($(probe_ms) ms)" \
    [ "$(probe_ms)" -ge 4500 ] && [ "$(probe_ms)" -le 8000 ]

# The same device's program killed while a GETSTATUS waits for it.
e2e-feature-probe "$dev_node" get d1 7 > pending.out &
probe_pid=$!
sleep 1
kill -KILL "$(cat silent.pid)"
wait "$probe_pid"
PROBE_OUT=$(cat pending.out)
echo "  request pending while the program was killed  ->  $PROBE_OUT"
expect_true "a request pending at the program's end fails with EPROTO ($PROBE_OUT)" \
    grep -qxE 'error EPROTO [0-9]+' pending.out
sim_await_gone silent

# A device that leaves the bus with block 0: the DNLOAD is taken, then the
# device is gone; a program that still holds the node open gets ENODEV.
sim_start gone --usb --transfer-size 16 --vanish-at-block 0
dev_node=/dev/$(sim_node gone)
e2e-feature-probe --delay 3000 "$dev_node" get d1 7 > held.out &
probe_pid=$!
usleep 300000
probe "DNLOAD taken" 'ok 22 [0-9]+' "$dev_node" set "$dnload0"
sim_await_gone gone
wait "$probe_pid"
echo "  GETSTATUS on the node held open across the unplug  ->  $(cat held.out)"
expect_true "a node held open across the unplug fails with ENODEV ($(cat held.out))" \
    grep -qxE 'error ENODEV [0-9]+' held.out
