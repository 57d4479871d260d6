# set and get against a USB device: the request goes out as SET_REPORT
# (output) on the control endpoint, the answer comes back on the interrupt
# IN endpoint. An answer set does not read must not reach the next command,
# also from a device that keeps it until the host polls again.
# e2e-timeout: 120
SIM_ATTACH_POLLS=3000
sim_start dev --usb --reply version=2.7.1 --reply serial=SN-0042

run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "2.7.1", "error": null}]}'
expect_stderr_empty

run_hiddfu set 1234-5678-0000 serial
expect_status 0
expect_stdout '{"control": [{"request": "serial", "response": "", "error": null}]}'
expect_stderr_empty

run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "2.7.1", "error": null}]}'

run_hiddfu get 1234-5678-0000 serial
expect_status 0
expect_stdout '{"control": [{"request": "serial", "response": "SN-0042", "error": null}]}'

expect_sim_received dev \
    "$(request_report_hex version 64)" \
    "$(request_report_hex serial 64)" \
    "$(request_report_hex version 64)" \
    "$(request_report_hex serial 64)"
sim_stop dev

# A device that keeps an answer nobody collected, as many real devices do,
# and takes 300 ms to answer, longer than set keeps the node open: the
# answer to set's request waits in the interrupt endpoint and goes out on the
# first poll after the next command opens the node. usbhid drops input for
# 50 ms after an open for just this reason, so get still reports its own
# answer.
sim_start keeping --usb --keep-uncollected-input --answer-delay 300 --reply version=2.7.1 --reply serial=SN-0042
run_hiddfu set 1234-5678-0000 serial
expect_status 0
usleep 500000
run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "2.7.1", "error": null}]}'
run_hiddfu set 1234-5678-0000 version
usleep 500000
run_hiddfu get 1234-5678-0000 serial
expect_stdout '{"control": [{"request": "serial", "response": "SN-0042", "error": null}]}'
expect_sim_received keeping \
    "$(request_report_hex serial 64)" "$(request_report_hex version 64)" \
    "$(request_report_hex version 64)" "$(request_report_hex serial 64)"
sim_stop keeping
