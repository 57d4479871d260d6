# devices counts the upgradable interfaces with the given ids: 0, 1 and 2
# simulated devices. A device with the ids but without the DFU feature
# reports, and an upgradable device with another product id, are not
# counted. Counting only reads: no device receives a request report.
entry='{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}'

run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout '{"devices": []}'
expect_stderr_empty

sim_start first
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout "{\"devices\": [$entry]}"

sim_start plain --no-dfu
sim_start other --pid 9999
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout "{\"devices\": [$entry]}"

sim_start second
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout "{\"devices\": [$entry, $entry]}"
expect_stderr_empty

# The ids are read as C integers: decimal 4660 is 0x1234.
run_hiddfu devices 4660 0x9999
expect_status 0
expect_stdout '{"devices": [{"identifier": "1234-9999-0000", "idVendor": 4660, "idProduct": 39321}]}'

expect_sim_received_nothing plain
for device in first second other; do
    expect_file_lacks_line "$device.simlog" '^set-feature|^01'
done

# Unplugged, a device is no longer counted.
sim_stop first
run_hiddfu devices 0x1234 0x5678
expect_status 0
expect_stdout "{\"devices\": [$entry]}"
