# A user who may not open the device's node: every action's standard output
# and exit status stay as for no device, and one line on standard error names
# the node and points to the udev rule. With access, the same user reaches
# the device.
mkdir -p /etc
echo 'e2euser:x:4321:4321::/tmp:/bin/sh' >> /etc/passwd
echo 'e2euser:x:4321:' >> /etc/group
chmod 755 .
make_firmware fw 1024 2.0.0
chmod 644 fw.dfu

# as_user ARGS...: run_hiddfu as e2euser.
as_user() {
    echo "\$ (as e2euser) hiddfu $*"
    start=$(now_ms)
    su -s /bin/sh e2euser -c "hiddfu $*" > stdout 2> stderr
    STATUS=$?
    ELAPSED_MS=$(( $(now_ms) - start ))
    echo "  exit status $STATUS after $ELAPSED_MS ms"
    show_file stdout stdout
    show_file stderr stderr
}

sim_start dev
node=/dev/$(cat dev.node)
chmod 600 "$node"
denied="Device 1234:5678 is attached, but this user may not open $node; install the udev rule (README, \"Using it on Linux without root\")"

as_user devices 0x1234 0x5678
expect_status 0
expect_stdout '{"devices": []}'
expect_true "devices names the node" [ "$(cat stderr)" = "$denied" ]

as_user get 1234-5678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'
expect_true "get names the node" [ "$(cat stderr)" = "$denied" ]

as_user set 1234-5678-0000 reboot
expect_status 255
expect_stdout '{"control": [{"request": "reboot", "response": null, "error": "Unable to connect to device"}]}'
expect_true "set names the node" [ "$(cat stderr)" = "$denied" ]

as_user reset 1234-5678-0000
expect_status 255
expect_stdout_raw 'Unable to connect to device'
expect_true "reset names the node" [ "$(cat stderr)" = "$denied" ]

as_user update 1234-5678-0000 fw.dfu
expect_status 255
expect_stdout "$(transfer_line 1234-5678-0000 0 -1 'Unable to connect to device')"
expect_true "update names the node" [ "$(cat stderr)" = "$denied" ]
expect_sim_received_nothing dev

# Other ids: nothing about this node.
as_user get 1234-9999-0000 version
expect_status 255
expect_stderr_empty

# With access (what the udev rule gives), the same user reaches it.
chmod 666 "$node"
as_user get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "1.0.0", "error": null}]}'
expect_stderr_empty
sim_stop dev
