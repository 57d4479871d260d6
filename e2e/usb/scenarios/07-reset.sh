# reset of a USB device: it receives DETACH (request 0, wValue its detach
# timeout 1500 = dc05) as its last report, leaves the bus after the detach
# delay and enumerates again, and is then found as before.
# e2e-timeout: 120
SIM_ATTACH_POLLS=3000
sim_start dev --usb --transfer-size 16 --detach-timeout 1500
run_hiddfu reset 1234-5678-0000
expect_status 0
expect_stdout_raw 'Resetting device...'
expect_stderr_empty
detach="set-feature d000dc050000$(head -c 16 /dev/zero | od -An -v -tx1 | tr -d ' \n')"
expect_true "dev's last report is the DETACH request" [ "$(tail -n 1 dev.simlog)" = "$detach" ]
sim_await_reattached dev
expect_true "dev's node is on the USB bus of dummy_hcd" \
    grep -q '^HID_PHYS=usb-dummy_hcd\.[0-9]-1/input0$' "/sys/class/hidraw/$(sim_node dev)/device/uevent"
run_hiddfu devices 0x1234 0x5678
expect_stdout '{"devices": [{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}]}'
run_hiddfu get 1234-5678-0000 version
expect_stdout '{"control": [{"request": "version", "response": "1.0.0", "error": null}]}'
sim_stop dev
