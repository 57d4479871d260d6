# reset: with no device it says so and fails; with a device the device
# receives DETACH (request 0, wValue its detach timeout 1500 = dc05, wLength
# 0, the data bytes zero) as its last report, leaves the bus and comes back
# as a device does after a reset.
run_hiddfu reset 1234-5678-0000
expect_status 255
expect_stdout_raw 'Unable to connect to device'
expect_stderr_empty

sim_start dev --transfer-size 16 --detach-timeout 1500
run_hiddfu reset 1234-5678-0000
expect_status 0
expect_stdout_raw 'Resetting device...'
expect_stderr_empty
detach="set-feature d000dc050000$(head -c 16 /dev/zero | od -An -v -tx1 | tr -d ' \n')"
expect_true "dev's last report is the DETACH request" [ "$(tail -n 1 dev.simlog)" = "$detach" ]
expect_true "dev received one request report" [ "$(grep -c '^set-feature' dev.simlog)" -eq 1 ]
sim_await_reattached dev
run_hiddfu devices 0x1234 0x5678
expect_stdout '{"devices": [{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}]}'
sim_stop dev

# A device with the ids but no DFU reports is not reset: nothing reaches it.
sim_start plain --no-dfu
run_hiddfu reset 1234-5678-0000
expect_status 255
expect_stdout_raw 'Unable to connect to device'
expect_sim_received_nothing plain

# An invalid identifier stops before the library is called.
run_hiddfu reset 0-26-0
expect_status 255
expect_stdout_raw 'Invalid vid or pid 0 0x26'
