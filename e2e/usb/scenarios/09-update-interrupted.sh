# An update of a USB device interrupted by SIGINT at about 30 % of the
# transfer ends with its final line, "Upgrade failed (-9)", and exit status
# 255; the host sent ABORT (request 6) through usbhid, so the device is back
# in dfuIDLE (GETSTATE, feature report 0xd3, answers state 2); the flash is
# unchanged; and the next update succeeds. 100 blocks of 1024 bytes, 40 ms
# poll timeout each.
# e2e-timeout: 150
SIM_ATTACH_POLLS=3000
make_firmware fw 102400 2.0.0
dfu_payload fw.dfu fw.payload

printf 'hiddfu-sim firmware 1.5.0\nthe image before the update\n' > dev.flash
cp dev.flash dev.flash.before
sim_start dev --usb --flash "$PWD/dev.flash" --transfer-size 1024 --poll-timeout 40

echo "\$ hiddfu update 1234-5678-0000 fw.dfu &"
hiddfu update 1234-5678-0000 fw.dfu > stdout 2> stderr &
update_pid=$!
update_start=$(now_ms)

# Block 30 (0x1e) of 100 has arrived.
for _ in $(seq 3000); do
    grep -q '^set-feature d0011e00' dev.simlog 2> /dev/null && break
    usleep 10000
done
expect_true "block 30 reached the device" grep -q '^set-feature d0011e00' dev.simlog
signal_at=$(now_ms)
echo "  SIGINT after $((signal_at - update_start)) ms"
kill -s INT "$update_pid"
wait "$update_pid"
STATUS=$?
after_signal_ms=$(( $(now_ms) - signal_at ))
echo "  exit status $STATUS, $after_signal_ms ms after the signal"
show_file stdout stdout
show_file stderr stderr
keep_stdout

expect_update_failed 1234-5678-0000 -9
expect_true "the final line came within 3 s of the signal" [ "$after_signal_ms" -lt 3000 ]
expect_true "progress $LAST_PROGRESS is short of the end" [ "$LAST_PROGRESS" -lt 90 ]
expect_stderr_empty
expect_true "dev was sent ABORT" grep -q '^set-feature d006' dev.simlog
probe=$(hiddfu-hid-probe 0 --get-feature d3 2>&1)
expect_true "dev is in dfuIDLE (GETSTATE: $probe)" [ "$probe" = "feature d302" ]
expect_files_equal "the flash is unchanged" dev.flash.before dev.flash

run_hiddfu_timed update 1234-5678-0000 fw.dfu
expect_update_succeeded 1234-5678-0000 1
expect_files_equal "the flash holds the payload after the next update" fw.payload dev.flash
sim_stop dev
