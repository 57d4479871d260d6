# One run per device: two updates started together on one device, exactly
# one proceeds and succeeds, the other is refused within a second with
# "Unable to connect to device" and a line saying the device is in use; the
# flash then holds the winner's payload. While an update runs, get, set and
# reset are refused the same way and devices still counts the device.
# e2e-timeout: 120
make_firmware a 65536 2.0.0
make_firmware b 65536 3.0.0
dfu_payload a.dfu a.payload
dfu_payload b.dfu b.payload
busy_line='Device 1234:5678 is in use by another program'
sim_start_unlogged dev --flash "$PWD/dev.flash" --poll-timeout 80

# update_in_background NAME FILE: starts an update whose stdout, stderr,
# exit status and end time (ms after START) land in NAME.*; its process id
# in NAME.pid.
update_in_background() {
    ( hiddfu update 1234-5678-0000 "$2" > "$1.stdout" 2> "$1.stderr"
      echo $? > "$1.status"
      echo $(( $(now_ms) - START )) > "$1.ms" ) &
    echo $! > "$1.pid"
}

START=$(now_ms)
update_in_background a a.dfu
update_in_background b b.dfu
wait "$(cat a.pid)" "$(cat b.pid)"
for run in a b; do
    echo "  run $run: status $(cat $run.status) after $(cat $run.ms) ms"
    show_file "$run stdout" "$run.stdout"
    show_file "$run stderr" "$run.stderr"
done
if [ "$(cat a.status)" = 0 ]; then winner=a loser=b; else winner=b loser=a; fi
expect_true "one run succeeded" [ "$(cat $winner.status)" = 0 ]
expect_true "the other failed with 255" [ "$(cat $loser.status)" = 255 ]
expect_true "the refused run ended within 1 s (took $(cat $loser.ms) ms)" [ "$(cat $loser.ms)" -lt 1000 ]
expect_true "the refused run wrote its one failure line" \
    [ "$(cat $loser.stdout)" = "$(transfer_line 1234-5678-0000 0 -1 'Unable to connect to device')" ]
expect_true "the refused run says the device is in use" [ "$(cat $loser.stderr)" = "$busy_line" ]
expect_true "the winner wrote its success line" \
    [ "$(tail -n 1 $winner.stdout)" = "$(transfer_line 1234-5678-0000 100 0 null)" ]
expect_files_equal "the flash holds the winner's payload ($winner)" "$winner.payload" dev.flash

# Other actions while an update holds the device.
START=$(now_ms)
update_in_background c a.dfu
sleep 1
node=/dev/$(cat dev.node)
run_hiddfu get 1234-5678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'
expect_true "get says the device is in use" \
    [ "$(cat stderr)" = "Device 1234:5678 ($node) is in use by another program" ]
expect_elapsed_ms 0 1000
run_hiddfu set 1234-5678-0000 reboot
expect_status 255
expect_stdout '{"control": [{"request": "reboot", "response": null, "error": "Unable to connect to device"}]}'
run_hiddfu reset 1234-5678-0000
expect_status 255
expect_stdout_raw 'Unable to connect to device'
expect_true "reset says the device is in use" [ "$(cat stderr)" = "$busy_line" ]
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout '{"devices": [{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}]}'
expect_stderr_empty
wait "$(cat c.pid)"
expect_true "the update that held the device succeeded" [ "$(cat c.status)" = 0 ]
expect_files_equal "the flash holds its payload" a.payload dev.flash

# Once it is done, the device is free again.
run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "2.0.0", "error": null}]}'
sim_stop dev
