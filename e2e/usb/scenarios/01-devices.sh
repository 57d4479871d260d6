# devices against USB devices on dummy_hcd's emulated buses: the hidraw node
# sits behind usbhid (its phys names the dummy_hcd port), and devices counts
# one, then two, then after an unplug one again.
# e2e-timeout: 120
SIM_ATTACH_POLLS=3000
entry='{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}'

sim_start first --usb
uevent=/sys/class/hidraw/$(sim_node first)/device/uevent
expect_file_has_line "$uevent" "HID_ID=0003:00001234:00005678"
expect_true "first's hidraw node is on the USB bus of dummy_hcd" \
    grep -q '^HID_PHYS=usb-dummy_hcd\.[0-9]-1/input0$' "$uevent"
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout "{\"devices\": [$entry]}"
expect_stderr_empty

sim_start second --usb
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout "{\"devices\": [$entry, $entry]}"

# Counting only reads the descriptors: no request reaches a device.
for device in first second; do
    expect_file_lacks_line "$device.simlog" '^set-feature|^01'
done

sim_stop first
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout "{\"devices\": [$entry]}"
