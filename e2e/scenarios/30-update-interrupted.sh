# e2e-timeout: 150
# An update interrupted by a signal: SIGINT and SIGTERM at about 30 % of the
# transfer each end the run with its final line, "Upgrade failed (-9)" (the
# library's result for an upgrade stopped by disconnecting), and exit status
# 255; the host sent ABORT (request 6), so the device is back in dfuIDLE
# (GETSTATE, feature report 0xd3, answers state 2); the flash is unchanged;
# and the next update succeeds. Two signals in a row end the run at once,
# and the next update recovers the device left mid-download. A signal during
# manifestation still gives the final line, and the next update succeeds.
# 100 blocks of 1024 bytes, 40 ms poll timeout each.
make_firmware fw 102400 2.0.0
dfu_payload fw.dfu fw.payload

# start_update NAME [hiddfu-sim options]: attaches NAME with firmware 1.5.0
# in its flash and starts an update from fw.dfu in the background (UPDATE_PID).
start_update() {
    name=$1
    shift
    printf 'hiddfu-sim firmware 1.5.0\nthe image before the update\n' > "$name.flash"
    cp "$name.flash" "$name.flash.before"
    sim_start "$name" --flash "$PWD/$name.flash" "$@" || return 1
    echo "\$ hiddfu update 1234-5678-0000 fw.dfu &"
    hiddfu update 1234-5678-0000 fw.dfu > stdout 2> stderr &
    UPDATE_PID=$!
    UPDATE_START=$(now_ms)
}

# await_log NAME PATTERN: waits (up to 30 s) until NAME's report log has a
# line matching PATTERN.
await_log() {
    for _ in $(seq 3000); do
        grep -q "$2" "$1.simlog" 2> /dev/null && return 0
        usleep 10000
    done
    e2e_fail "$1 never received $2"
    return 1
}

# interrupt SIGNAL: sends SIGNAL to the update; SIGNAL_AT is when.
interrupt() {
    SIGNAL_AT=$(now_ms)
    echo "  SIG$1 after $((SIGNAL_AT - UPDATE_START)) ms"
    kill -s "$1" "$UPDATE_PID"
}

# finish_update: waits for the background update; STATUS, ELAPSED_MS and
# AFTER_SIGNAL_MS (from the first signal to the end).
finish_update() {
    wait "$UPDATE_PID"
    STATUS=$?
    ELAPSED_MS=$(( $(now_ms) - UPDATE_START ))
    AFTER_SIGNAL_MS=$(( $(now_ms) - SIGNAL_AT ))
    echo "  exit status $STATUS after $ELAPSED_MS ms, $AFTER_SIGNAL_MS ms after the signal"
    show_file stdout stdout
    show_file stderr stderr
}

expect_device_idle() {
    probe=$(hiddfu-hid-probe 0 --get-feature d3 2>&1)
    expect_true "$1 is in dfuIDLE (GETSTATE: $probe)" [ "$probe" = "feature d302" ]
}

expect_next_update_succeeds() {
    run_hiddfu_timed update 1234-5678-0000 fw.dfu
    expect_update_succeeded 1234-5678-0000 1
    expect_files_equal "the flash of $1 holds the payload after the next update" fw.payload "$1.flash"
}

for signal in INT TERM; do
    name=sig$signal
    start_update "$name" --transfer-size 1024 --poll-timeout 40 || continue
    # Block 30 of 100 has arrived.
    await_log "$name" '^set-feature d0011e00' && interrupt "$signal"
    finish_update
    expect_update_failed 1234-5678-0000 -9
    # The next poll (at most a second away) stops the upgrade.
    expect_true "$name: the final line came within 3 s of the signal" [ "$AFTER_SIGNAL_MS" -lt 3000 ]
    expect_true "$name: progress $LAST_PROGRESS is short of the end" [ "$LAST_PROGRESS" -lt 90 ]
    expect_stderr_empty
    expect_true "$name was sent ABORT" grep -q '^set-feature d006' "$name.simlog"
    expect_device_idle "$name"
    expect_files_equal "the flash of $name is unchanged" "$name.flash.before" "$name.flash"
    expect_next_update_succeeds "$name"
    sim_stop "$name"
done

# Two signals: the second ends the process at once, by that signal. (Sent
# apart: two pending signals of one kind are delivered as one.)
start_update twice --transfer-size 1024 --poll-timeout 40
await_log twice '^set-feature d0011e00' && interrupt INT && usleep 30000 && kill -s INT "$UPDATE_PID"
finish_update
expect_status 130
expect_true "twice: ended within a second of the signals" [ "$AFTER_SIGNAL_MS" -lt 1000 ]
expect_files_equal "the flash of twice is unchanged" twice.flash.before twice.flash
expect_next_update_succeeds twice
sim_stop twice

# A signal while the device manifests (a 3 s manifestation poll timeout).
start_update manifest --transfer-size 1024 --poll-timeout 0 --manifest-timeout 3000
# The zero-length DNLOAD: block 100 (0x64), wLength 0.
await_log manifest '^set-feature d00164000000' && usleep 300000 && interrupt INT
finish_update
expect_update_failed 1234-5678-0000 -9
expect_next_update_succeeds manifest
sim_stop manifest
