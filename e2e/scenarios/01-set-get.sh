# set and get against one simulated device: the reply comes back in the
# document, set reads nothing, and the device receives report id 1, the name
# and zeros up to its output report length for each command.
sim_start dev --reply version=2.7.1 --reply serial=SN-0042

run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "2.7.1", "error": null}]}'
expect_stderr_empty

# The device answers "serial" too, but set reads no reply: the response is
# empty, and the unread answer must not leak into the next command.
run_hiddfu set 1234-5678-0000 serial
expect_status 0
expect_stdout '{"control": [{"request": "serial", "response": "", "error": null}]}'
expect_stderr_empty

# The index field of the identifier selects nothing: 0003 reaches the same
# device.
run_hiddfu get 1234-5678-0003 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "2.7.1", "error": null}]}'

# A name the device has no answer for: it still receives the request.
run_hiddfu set 1234-5678-0000 led-on
expect_status 0
expect_stdout '{"control": [{"request": "led-on", "response": "", "error": null}]}'

expect_sim_received dev \
    "$(request_report_hex version 64)" \
    "$(request_report_hex serial 64)" \
    "$(request_report_hex version 64)" \
    "$(request_report_hex led-on 64)"
