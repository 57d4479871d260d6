# No fixed limit on the HID interfaces searched: with 40 other HID devices
# attached before it (more than the 30 the raw transport once looked at;
# the kernel gives out at most 64 hidraw nodes, so the library's old bound
# of 64 is tested in the unit tests), the device is found by get, devices,
# update and reset alike.
# e2e-timeout: 120
e2e-uhid-crowd 40 1111 2222 > crowd.out 2>&1 &
crowd=$!
for _ in $(seq 200); do
    [ "$(ls /sys/class/hidraw | wc -l)" -ge 40 ] && break
    sleep 0.05
done
expect_true "40 other hidraw nodes attached" [ "$(ls /sys/class/hidraw | wc -l)" -ge 40 ]
make_firmware fw 2048 2.0.0
dfu_payload fw.dfu fw.payload
sim_start dev --flash "$PWD/dev.flash" --no-reenumerate
echo "  the device is $(cat dev.node)"

run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "1.0.0", "error": null}]}'
run_hiddfu devices 0x1234 0x5678
expect_stdout '{"devices": [{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}]}'
run_hiddfu_timed update 1234-5678-0000 fw.dfu
expect_status 0
expect_last_line "$(transfer_line 1234-5678-0000 100 0 null)"
expect_files_equal "the flash holds the payload" fw.payload dev.flash
run_hiddfu reset 1234-5678-0000
expect_status 0
expect_stdout_raw 'Resetting device...'
sim_stop dev
kill "$crowd"
wait "$crowd" 2> /dev/null
